#pragma once
// One Intel HEX record as text, checksum included; shared by everything here that writes images.

#include <cstdint>
#include <string>

namespace hexwriter {

inline void AppendByte(std::string &line, unsigned byte) {
    static const char digits[] = "0123456789ABCDEF";
    line += digits[(byte >> 4) & 0xF];
    line += digits[byte & 0xF];
}

inline std::string Record(int type, unsigned offset, const std::uint8_t *data, std::size_t n) {
    std::string line;
    line.reserve(11 + 2 * n);
    line += ':';
    unsigned sum = 0;
    for (unsigned byte : {unsigned(n) & 0xFF, (offset >> 8) & 0xFF, offset & 0xFF,
                          unsigned(type) & 0xFF}) {
        AppendByte(line, byte);
        sum += byte;
    }
    for (std::size_t i = 0; i < n; ++i) {
        AppendByte(line, data[i]);
        sum += data[i];
    }
    AppendByte(line, (0x100 - (sum & 0xFF)) & 0xFF);
    return line;
}

} // namespace hexwriter
