// make_sample: writes a sample firmware image (Intel HEX, ".a35") to try the flasher with.
// 64 KiB of data in 16-byte records, with extended segment address records, starting at 0x10000.

#include "simulator/HexWriter.h"

#include <cstdio>
#include <cstdlib>

namespace {
void record(FILE *f, int type, int offset, const unsigned char *data, int n) {
    std::fprintf(f, "%s\r\n",
                 hexwriter::Record(type, unsigned(offset), data, std::size_t(n)).c_str());
}
} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample FILE.a35\n");
        return 2;
    }
    FILE *f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const int base = 0x10000, size = 0x10000;
    for (int address = base; address < base + size; address += 16) {
        if (address % 0x4000 == 0) { // a new segment every 16 KiB
            const int segment = address >> 4;
            const unsigned char value[2] = {(unsigned char)(segment >> 8),
                                            (unsigned char)(segment & 0xFF)};
            record(f, 2, 0, value, 2);
        }
        unsigned char data[16];
        for (int i = 0; i < 16; ++i)
            data[i] = (unsigned char)((address + i) * 31 >> 3);
        record(f, 0, address % 0x4000, data, 16);
    }
    record(f, 1, 0, nullptr, 0);
    return std::fclose(f) == 0 ? 0 : 1;
}
