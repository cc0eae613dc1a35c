#pragma once
// The sample firmware image: 64 KiB of data in 16-byte records from 0x10000, with an extended
// segment address record every 16 KiB. make_sample writes it; the run benchmark sends it.

#include "simulator/HexWriter.h"

#include <string>

namespace sample {

inline std::string Image() {
    std::string text;
    auto record = [&text](int type, int offset, const std::uint8_t *data, std::size_t n) {
        text += hexwriter::Record(type, unsigned(offset), data, n) + "\r\n";
    };
    const int base = 0x10000, size = 0x10000;
    for (int address = base; address < base + size; address += 16) {
        if (address % 0x4000 == 0) {
            const int segment = address >> 4;
            const std::uint8_t value[2] = {std::uint8_t(segment >> 8), std::uint8_t(segment)};
            record(2, 0, value, 2);
        }
        std::uint8_t data[16];
        for (int i = 0; i < 16; ++i)
            data[i] = std::uint8_t((address + i) * 31 >> 3);
        record(0, address % 0x4000, data, 16);
    }
    record(1, 0, nullptr, 0);
    return text;
}

} // namespace sample
