// make_sample: writes the sample firmware image (Intel HEX, ".a35") to try the flasher with.

#include "simulator/SampleImage.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    const char *usage = "usage: make_sample FILE.a35\n"
                        "Writes the sample firmware image, 64 KiB of Intel HEX, to FILE.a35.\n";
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    FILE *f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const std::string text = sample::Image();
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written ? 0 : 1;
}
