#include "protocol/RunClock.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// Linux counts, per thread, the time it was ready to run but had no processor.
std::chrono::nanoseconds WaitedForProcessor() {
    static thread_local const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    char text[128];
    const ssize_t n = fd >= 0 ? ::pread(fd, text, sizeof text - 1, 0) : -1;
    if (n <= 0) return {};
    text[n] = '\0';
    unsigned long long running = 0, waiting = 0;
    if (std::sscanf(text, "%llu %llu", &running, &waiting) != 2) return {};
    return std::chrono::nanoseconds(waiting);
}
