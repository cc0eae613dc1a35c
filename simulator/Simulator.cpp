#include "simulator/Simulator.h"

#include "simulator/HexWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

namespace q7310sim {

namespace {
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kStart = 0x68, kStop = 0x16;
constexpr auto kFrameGap = std::chrono::milliseconds(100); // a frame stalled this long is dropped

const std::vector<std::uint8_t> kStartPayload = {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30, 0xFF};
const std::vector<std::uint8_t> kEndPayload = {0xAA, 0x55, 0x99};

const char *kindName(FrameKind k) {
    switch (k) {
    case FrameKind::Start:
        return "start";
    case FrameKind::Data:
        return "data";
    case FrameKind::End:
        return "end";
    case FrameKind::Bad:
        return "bad";
    default:
        return "any";
    }
}

bool parseInt(const std::string &s, int &v) {
    if (s.empty()) return false;
    char *end = nullptr;
    const long x = std::strtol(s.c_str(), &end, 0);
    if (*end != '\0') return false;
    v = int(x);
    return true;
}

} // namespace

bool ParseRule(const std::string &text, Rule &rule, std::string &error) {
    rule = Rule{};
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        error = "rule needs WHICH:ACTION, got '" + text + "'";
        return false;
    }
    const std::string which = text.substr(0, colon);
    std::string action = text.substr(colon + 1);
    int param = 0;
    const auto eq = action.find('=');
    if (eq != std::string::npos) {
        if (!parseInt(action.substr(eq + 1), param)) {
            error = "bad number in '" + text + "'";
            return false;
        }
        action = action.substr(0, eq);
    }
    if (which == "start")
        rule.kind = FrameKind::Start;
    else if (which == "data")
        rule.kind = FrameKind::Data;
    else if (which == "end")
        rule.kind = FrameKind::End;
    else if (which == "any" || which == "*")
        rule.kind = FrameKind::Any;
    else if (!parseInt(which, rule.frameNo) || rule.frameNo < 1) {
        error = "frame must be a number from 1, or start, data, end, any: '" + which + "'";
        return false;
    }
    static const std::map<std::string, Action> actions = {
        {"normal", Action::Normal}, {"noreply", Action::NoReply}, {"lost", Action::Lost},
        {"delay", Action::Delay},   {"split", Action::Split},     {"short", Action::Short},
        {"long", Action::Long},     {"status", Action::Status},   {"garbage", Action::Garbage},
        {"hangup", Action::HangUp}, {"chatter", Action::Chatter}, {"stray", Action::Stray},
        {"burst", Action::Burst},   {"prefix", Action::Prefix},   {"repeat", Action::Repeat},
        {"jitter", Action::Jitter}};
    const auto it = actions.find(action);
    if (it == actions.end()) {
        error = "unknown action '" + action + "'";
        return false;
    }
    rule.action = it->second;
    rule.param = param;
    return true;
}

Simulator::Simulator(Options options) : opt_(std::move(options)), rng_(opt_.seed) {}

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
        opt_.hangUpAfter = 0;
        partial_.clear();
        pending_.clear();
        onLine_.clear();
    }
    hungUp_ = false;
    return start(error);
}

void Simulator::addRule(const Rule &rule) {
    std::lock_guard lock(mutex_);
    opt_.rules.push_back(rule);
}

void Simulator::setHangUpAfter(int frames) {
    std::lock_guard lock(mutex_);
    opt_.hangUpAfter = frames;
}

std::vector<ReceivedFrame> Simulator::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::map<std::uint32_t, std::uint8_t> Simulator::memory() const {
    std::lock_guard lock(mutex_);
    return memory_;
}

bool Simulator::programmingMode() const {
    std::lock_guard lock(mutex_);
    return programming_;
}

int Simulator::endFrames() const {
    std::lock_guard lock(mutex_);
    return endFrames_;
}

FrameKind Simulator::lastTaken() const {
    std::lock_guard lock(mutex_);
    return lastTaken_;
}

Clock::duration Simulator::charTime() const {
    // Start bit, 8 data bits, parity and stop bit.
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(std::int64_t(11) * 1000000000 / std::max(opt_.baud, 1)));
}

void Simulator::loop() {
    std::vector<std::uint8_t> buf(4096);
    while (running_) {
        auto now = Clock::now();
        Clock::time_point next;
        {
            std::lock_guard lock(mutex_);
            next = transmit(now);
            if (!partial_.empty()) next = std::min(next, lastByte_ + kFrameGap);
        }
        const auto wait = std::max(Clock::duration::zero(), next - now);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout{time_t(ns / 1000000000), long(ns % 1000000000)};
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        ::ppoll(fds, 2, &timeout, nullptr);
        if (!running_) break;
        now = Clock::now();
        std::lock_guard lock(mutex_);
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_, buf.data(), buf.size());
            // Each byte takes its time on the line; one written behind others waits for them.
            for (ssize_t i = 0; i < n && !hungUp_; ++i) {
                inFree_ = std::max(now, inFree_) + charTime();
                consume(buf[std::size_t(i)], inFree_);
            }
        }
        if (hungUp_) break;
        if (!partial_.empty() && now - lastByte_ >= kFrameGap) {
            const std::vector<std::uint8_t> stalled = partial_;
            partial_.clear();
            handleFrame(stalled, false, lastByte_);
        }
    }
}

Clock::time_point Simulator::transmit(Clock::time_point now) {
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending &a, const Pending &b) { return a.ready < b.ready; });
    while (!pending_.empty() && pending_.front().ready <= now) {
        // One thing at a time on the line: what is ready waits until it is free.
        const Pending p = pending_.front();
        pending_.erase(pending_.begin());
        auto at = std::max(p.ready, outFree_);
        for (std::uint8_t b : p.bytes)
            onLine_.emplace_back(at += charTime(), b);
        outFree_ = at;
    }
    std::vector<std::uint8_t> crossed;
    auto it = onLine_.begin();
    for (; it != onLine_.end() && it->first <= now; ++it)
        crossed.push_back(it->second);
    onLine_.erase(onLine_.begin(), it);
    if (!crossed.empty()) [[maybe_unused]]
        auto w = ::write(master_, crossed.data(), crossed.size());

    auto next = now + std::chrono::milliseconds(200);
    if (!onLine_.empty()) next = std::min(next, onLine_.front().first);
    if (!pending_.empty()) next = std::min(next, pending_.front().ready);
    return next;
}

void Simulator::consume(std::uint8_t byte, Clock::time_point arrival) {
    lastByte_ = arrival;
    if (partial_.empty() && byte != kStart) return; // noise between frames
    partial_.push_back(byte);
    if (partial_.size() == 4 && (partial_[1] != partial_[2] || partial_[3] != kStart)) {
        const std::vector<std::uint8_t> bad = partial_;
        partial_.clear();
        handleFrame(bad, false, arrival);
        return;
    }
    if (partial_.size() >= 4 && partial_.size() == std::size_t(partial_[1]) + 6) {
        const std::vector<std::uint8_t> frame = partial_;
        partial_.clear();
        handleFrame(frame, true, arrival);
    }
}

void Simulator::handleFrame(const std::vector<std::uint8_t> &frame, bool structurallyOk,
                            Clock::time_point arrival) {
    FrameKind kind = FrameKind::Bad;
    int status = 32;
    std::uint32_t address = 0;
    if (structurallyOk) {
        const std::size_t L = frame[1];
        unsigned sum = 0;
        for (std::size_t i = 4; i < 4 + L; ++i)
            sum += frame[i];
        const bool sane = L >= 3 && (sum & 0xFF) == frame[4 + L] && frame[5 + L] == kStop &&
                          frame[4] == 0xFA && frame[5] == 0x69;
        if (sane) {
            const std::uint8_t cmd = frame[6];
            const std::vector<std::uint8_t> payload(frame.begin() + 7, frame.begin() + 4 + long(L));
            if (cmd == 0xD3 && payload == kStartPayload) {
                kind = FrameKind::Start;
                status = 0;
            } else if (cmd == 0xD3 && payload == kEndPayload) {
                kind = FrameKind::End;
                status = 0;
            } else if (cmd == 0xD2 && payload.size() >= 4 && payload[3] == payload.size() - 4) {
                kind = FrameKind::Data;
                address = payload[0] | (std::uint32_t(payload[1]) << 8) |
                          (std::uint32_t(payload[2]) << 16);
                bool writable = programming_;
                for (std::size_t i = 4; writable && i < payload.size(); ++i) {
                    const auto it = memory_.find(address + std::uint32_t(i - 4));
                    const std::uint8_t old = it == memory_.end() ? 0xFF : it->second;
                    writable = (payload[i] & ~old) == 0; // flash only turns 1 bits into 0
                }
                status = writable ? 0 : 16;
            }
        }
    }
    frames_.push_back({kind, frame, status, arrival});
    const int frameNo = int(frames_.size());

    // Rules combine: one decides the reply, one the status, and every noise rule adds its own.
    Action action = Action::Normal;
    int param = 0, prefix = 0, jitterMs = 0;
    repeatsMs_.clear();
    bool shaped = false, statusSet = false;
    std::vector<Pending> noise;
    for (Rule &r : opt_.rules) {
        if (r.times == 0 || (r.frameNo != 0 && r.frameNo != frameNo) ||
            (r.kind != FrameKind::Any && r.kind != kind))
            continue;
        const bool isStatus = r.action == Action::Status;
        const bool isNoise = r.action == Action::Stray || r.action == Action::Burst ||
                             r.action == Action::Prefix || r.action == Action::Repeat ||
                             r.action == Action::Jitter;
        if ((isStatus && statusSet) || (!isStatus && !isNoise && shaped)) continue;
        if (r.times > 0) --r.times;
        const auto after = arrival + std::chrono::milliseconds(r.param);
        if (isStatus) {
            statusSet = true;
            status = r.param & 0xFF;
        } else if (r.action == Action::Stray) {
            noise.push_back({after, {0xA5}});
        } else if (r.action == Action::Burst) {
            noise.push_back({after, std::vector<std::uint8_t>(5, 0x00)});
        } else if (r.action == Action::Prefix) {
            prefix += std::max(r.param, 1);
        } else if (r.action == Action::Repeat) {
            repeatsMs_.push_back(std::max(r.param, 0));
        } else if (r.action == Action::Jitter) {
            jitterMs = std::max(jitterMs, r.param);
        } else {
            shaped = true;
            action = r.action;
            param = r.param;
        }
    }
    if (opt_.hangUpAfter > 0 && frameNo > opt_.hangUpAfter) action = Action::HangUp;
    if (action == Action::Lost) {
        frames_.back().lost = true;
        status = -1;
    }
    for (Pending &p : noise)
        schedule(p.ready, std::move(p.bytes));
    // Only what the instrument answers with 0 takes effect: a refused frame changes nothing.
    // A reply that is lost or late on the way does not undo what was done.
    if (status == 0 && action != Action::HangUp) carryOut(kind, frame, address);

    if (opt_.verbose)
        std::fprintf(stderr, "q7310sim: frame %d %s, %zu bytes, status %d%s\n", frameNo,
                     kindName(kind), frame.size(), status,
                     action == Action::Normal && noise.empty() && prefix == 0 ? ""
                                                                              : " (misbehaving)");
    if (action == Action::Lost) return;

    held_ = std::chrono::microseconds(
        std::uniform_int_distribution<int>(0, std::max(jitterMs, 0) * 1000)(rng_));
    const std::uint8_t s = std::uint8_t(status);
    std::vector<std::uint8_t> reply = {0x10, 0xFA, s, std::uint8_t(0xFA + s), kStop};
    reply.insert(reply.begin(), std::size_t(prefix), 0xA5);
    switch (action) {
    case Action::Normal:
    case Action::Status:
    case Action::Lost:
    case Action::Stray:
    case Action::Burst:
    case Action::Prefix:
    case Action::Repeat:
    case Action::Jitter:
        scheduleReply(arrival, reply);
        break;
    case Action::NoReply:
        break;
    case Action::Delay:
        scheduleReply(arrival + std::chrono::milliseconds(param), reply);
        break;
    case Action::Split:
        scheduleReply(arrival, {reply.begin(), reply.end() - 3});
        repeatsMs_.clear();
        scheduleReply(arrival + std::chrono::milliseconds(param), {reply.end() - 3, reply.end()});
        break;
    case Action::Short:
        reply.resize(std::size_t(std::clamp(param, 0, 4)));
        if (!reply.empty()) scheduleReply(arrival, reply);
        break;
    case Action::Long:
        reply.push_back(0x00);
        scheduleReply(arrival, reply);
        break;
    case Action::Garbage:
        scheduleReply(arrival, std::vector<std::uint8_t>(std::size_t(std::max(param, 1)), 0xA5));
        break;
    case Action::HangUp:
        hangUp();
        break;
    case Action::Chatter: // a noisy line: never quiet for long, never a reply
        for (int ms = 0; ms < param; ms += 150)
            schedule(arrival + std::chrono::milliseconds(ms), {0xA5});
        break;
    }
}

void Simulator::carryOut(FrameKind kind, const std::vector<std::uint8_t> &frame,
                         std::uint32_t address) {
    lastTaken_ = kind;
    switch (kind) {
    case FrameKind::Start:
        memory_.clear(); // the whole flash reads FF again
        programming_ = true;
        break;
    case FrameKind::End:
        programming_ = false;
        ++endFrames_;
        if (!opt_.dumpFile.empty()) {
            if (FILE *f = std::fopen(opt_.dumpFile.c_str(), "w")) {
                const std::string hex = ToIntelHex(memory_);
                std::fwrite(hex.data(), 1, hex.size(), f);
                std::fclose(f);
            }
        }
        break;
    case FrameKind::Data:
        for (std::size_t i = 11; i + 2 < frame.size(); ++i)
            memory_[address + std::uint32_t(i - 11)] = frame[i];
        break;
    default:
        break;
    }
}

void Simulator::schedule(Clock::time_point ready, std::vector<std::uint8_t> bytes) {
    pending_.push_back({ready, std::move(bytes)});
}

void Simulator::scheduleReply(Clock::time_point ready, std::vector<std::uint8_t> bytes) {
    for (int ms : repeatsMs_)
        schedule(ready + held_ + std::chrono::milliseconds(ms), bytes);
    schedule(ready + held_, std::move(bytes));
}

void Simulator::hangUp() {
    hungUp_ = true;
    pending_.clear();
    onLine_.clear();
    // Closing both ends of the line is what an unplugged adapter looks like to the flasher.
    ::close(master_);
    master_ = -1;
    ::close(slave_);
    slave_ = -1;
    running_ = false;
}

std::string Simulator::ToIntelHex(const std::map<std::uint32_t, std::uint8_t> &memory) {
    std::ostringstream out;
    auto record = [&out](int type, unsigned offset, const std::vector<std::uint8_t> &data) {
        out << hexwriter::Record(type, offset, data.data(), data.size()) << '\n';
    };
    std::uint32_t upper = 0;
    auto it = memory.begin();
    while (it != memory.end()) {
        const std::uint32_t start = it->first;
        if ((start >> 16) != upper) {
            upper = start >> 16;
            record(4, 0, {std::uint8_t(upper >> 8), std::uint8_t(upper)});
        }
        std::vector<std::uint8_t> data;
        std::uint32_t a = start;
        while (it != memory.end() && it->first == a && data.size() < 16 && (a >> 16) == upper) {
            data.push_back(it->second);
            ++it;
            ++a;
        }
        record(0, std::uint16_t(start & 0xFFFF), data);
    }
    record(1, 0, {});
    return out.str();
}

} // namespace q7310sim
