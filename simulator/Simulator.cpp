#include "simulator/Simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace q7310sim {

Simulator::Simulator(Options options) : instrument_(std::move(options)) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string &error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("no pseudo-terminal: ") + std::strerror(errno);
        stop();
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        stop();
        return false;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        error = "cannot open " + path_ + ": " + std::strerror(errno);
        stop();
        return false;
    }
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        stop();
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    running_ = true;
    thread_ = std::thread([this] { loop(); });
    return true;
}

void Simulator::stop() {
    if (running_.exchange(false) && wakeWrite_ >= 0) {
        const char c = 0;
        [[maybe_unused]] auto n = ::write(wakeWrite_, &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int *fd : {&master_, &slave_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool Simulator::replug(std::string &error) {
    stop();
    {
        std::lock_guard lock(mutex_);
        instrument_.replug();
    }
    hungUp_ = false;
    return start(error);
}

void Simulator::addRule(const Rule &rule) {
    std::lock_guard lock(mutex_);
    instrument_.addRule(rule);
}

void Simulator::setHangUpAfter(int frames) {
    std::lock_guard lock(mutex_);
    instrument_.setHangUpAfter(frames);
}

std::vector<ReceivedFrame> Simulator::frames() const {
    std::lock_guard lock(mutex_);
    return instrument_.frames();
}

std::map<std::uint32_t, std::uint8_t> Simulator::memory() const {
    std::lock_guard lock(mutex_);
    return instrument_.flash().bytes();
}

bool Simulator::programmingMode() const {
    std::lock_guard lock(mutex_);
    return instrument_.programmingMode();
}

int Simulator::endFrames() const {
    std::lock_guard lock(mutex_);
    return instrument_.endFrames();
}

FrameKind Simulator::lastTaken() const {
    std::lock_guard lock(mutex_);
    return instrument_.lastTaken();
}

Simulator::Figures Simulator::figures() const {
    std::lock_guard lock(mutex_);
    return {instrument_.frameCount(), instrument_.erases(), instrument_.wireTime(),
            instrument_.ownTime()};
}

void Simulator::loop() {
    std::vector<std::uint8_t> buf(4096), reached;
    while (running_) {
        auto now = Clock::now();
        Clock::time_point next;
        {
            std::lock_guard lock(mutex_);
            reached.clear();
            instrument_.advance(now, reached);
            if (instrument_.hungUp(now)) {
                hangUp();
                break;
            }
            if (!reached.empty()) [[maybe_unused]]
                auto w = ::write(master_, reached.data(), reached.size());
            next = std::min(instrument_.nextEvent(), now + std::chrono::milliseconds(200));
        }
        const auto wait = std::max(Clock::duration::zero(), next - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{time_t(ns / 1000000000), long(ns % 1000000000)};
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        ::ppoll(fds, 2, &timeout, nullptr);
        if (!running_) break;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_, buf.data(), buf.size());
            std::lock_guard lock(mutex_);
            if (n > 0) instrument_.receive(buf.data(), std::size_t(n), Clock::now());
        }
    }
}

void Simulator::hangUp() {
    hungUp_ = true;
    // Closing both ends of the line is what an unplugged adapter looks like to the flasher.
    ::close(master_);
    master_ = -1;
    ::close(slave_);
    slave_ = -1;
    running_ = false;
}

} // namespace q7310sim
