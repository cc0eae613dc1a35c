// make_sample: writes the sample firmware image (Intel HEX, ".a35") to try the flasher with.

#include "simulator/SampleImage.h"

#include <cstdio>

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
    const std::string text = sample::Image();
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written ? 0 : 1;
}
