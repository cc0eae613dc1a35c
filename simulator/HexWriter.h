#pragma once
// One Intel HEX record as text, checksum included; shared by everything here that writes images.

#include <cstdint>
#include <cstdio>
#include <string>

namespace hexwriter {

inline std::string Record(int type, unsigned offset, const std::uint8_t *data, std::size_t n) {
    unsigned sum = unsigned(n) + ((offset >> 8) & 0xFF) + (offset & 0xFF) + unsigned(type);
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", unsigned(n) & 0xFF, offset & 0xFFFF,
                  unsigned(type) & 0xFF);
    std::string line = buf;
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        line += buf;
        sum += data[i];
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

} // namespace hexwriter
