#include "simulator/Instrument.h"

#include "simulator/HexWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace q7310sim {

namespace {

constexpr std::uint8_t kStart = 0x68, kStop = 0x16;
constexpr auto kFrameGap = std::chrono::milliseconds(100); // a frame stalled this long is dropped
constexpr double kDriftBytes = 65536;                      // a drift reaches its end by then

const std::uint8_t kStartPayload[] = {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30, 0xFF};
const std::uint8_t kEndPayload[] = {0xAA, 0x55, 0x99};

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

bool parseNumber(const std::string &s, double &v) {
    if (s.empty()) return false;
    char *end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return *end == '\0' && v >= 0 && std::isfinite(v);
}

// "A-B" (A at most B)
bool parseRange(const std::string &s, double &lo, double &hi) {
    const auto dash = s.find('-');
    return dash != std::string::npos && parseNumber(s.substr(0, dash), lo) &&
           parseNumber(s.substr(dash + 1), hi) && lo <= hi;
}

Clock::duration ms(double v) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(v));
}

bool isShaping(Action a) {
    switch (a) {
    case Action::NoReply:
    case Action::Lost:
    case Action::Delay:
    case Action::Split:
    case Action::Short:
    case Action::Long:
    case Action::Garbage:
    case Action::HangUp:
    case Action::Chatter:
    case Action::Normal:
        return true;
    default:
        return false;
    }
}

} // namespace

const char RuleHelp[] =
    "  WHICH:   a frame number from 1 (as the frames arrive, frames sent again\n"
    "           included), or start, data, end, any\n"
    "  ACTION:  the reply (the first matching rule decides): noreply, lost,\n"
    "           delay=MS, split=MS, short=N, long, garbage=N, hangup, chatter=MS;\n"
    "           the status: status=S;\n"
    "           noise besides (each adds its own): stray=MS, burst=MS (after the\n"
    "           frame), prefix=N, repeat=MS (the reply once more, MS later);\n"
    "           the instrument's own time (each adds its own): perbyte=US (US\n"
    "           microseconds more per data byte), sector=BYTES:MIN-MAX (the first\n"
    "           write into each sector of BYTES costs MIN to MAX ms more; the start\n"
    "           erases), endslow=MS (the end command MS more), drift=FROM-TO (from\n"
    "           FROM ms more at the start to TO ms more after 64 KiB written),\n"
    "           step=BYTES:MS (MS more once BYTES have been written), slow=MS\n"
    "           (MS more),\n"
    "           thermo=MS:PERIOD (MS more in every other PERIOD ms, as a\n"
    "           thermostat does), held=MS (a block it already holds takes MS\n"
    "           instead);\n"
    "           after the end: talk=MS (a byte MS after its reply, as the line\n"
    "           resets), greet=MS (a greeting of the new firmware MS after it),\n"
    "           deaf (frames after it get no reply and take no effect), stay (it\n"
    "           stays in programming);\n"
    "           the way back (the largest matching rule counts): jitter=MS (each\n"
    "           reply held a random 0 to MS), ticks=MS (what crossed is handed on\n"
    "           at the ticks of a free-running clock, as a USB adapter's latency\n"
    "           timer does), path=MIN-MAX (each reply MIN to MAX ms later, order\n"
    "           kept, as a radio link or a USB hub adds)\n"
    "  Random draws come from --seed. Milliseconds may have decimals.\n";

bool ParseRule(const std::string &text, Rule &rule, std::string &error) {
    rule = Rule{};
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        error = "rule needs WHICH:ACTION, got '" + text + "'";
        return false;
    }
    const std::string which = text.substr(0, colon);
    std::string action = text.substr(colon + 1);
    std::string value;
    const auto eq = action.find('=');
    if (eq != std::string::npos) {
        value = action.substr(eq + 1);
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
        {"normal", Action::Normal},   {"noreply", Action::NoReply}, {"lost", Action::Lost},
        {"delay", Action::Delay},     {"split", Action::Split},     {"short", Action::Short},
        {"long", Action::Long},       {"status", Action::Status},   {"garbage", Action::Garbage},
        {"hangup", Action::HangUp},   {"chatter", Action::Chatter}, {"stray", Action::Stray},
        {"burst", Action::Burst},     {"prefix", Action::Prefix},   {"repeat", Action::Repeat},
        {"jitter", Action::Jitter},   {"perbyte", Action::PerByte}, {"sector", Action::Sector},
        {"endslow", Action::EndSlow}, {"drift", Action::Drift},     {"step", Action::Step},
        {"ticks", Action::Ticks},     {"path", Action::Path},       {"thermo", Action::Thermo},
        {"held", Action::Held},       {"slow", Action::Slow},       {"talk", Action::Talk},       {"greet", Action::Greet},
        {"deaf", Action::Deaf},       {"stay", Action::Stay}};
    const auto it = actions.find(action);
    if (it == actions.end()) {
        error = "unknown action '" + action + "'";
        return false;
    }
    rule.action = it->second;
    bool ok = true;
    const auto sizeColon = value.find(':');
    switch (rule.action) {
    case Action::Status: {
        int status = 0;
        ok = parseInt(value, status);
        rule.value = status;
        break;
    }
    case Action::Drift: { // either way: an instrument may also get faster as it warms
        const auto dash = value.find('-');
        ok = dash != std::string::npos && parseNumber(value.substr(0, dash), rule.lo) &&
             parseNumber(value.substr(dash + 1), rule.hi);
        break;
    }
    case Action::Path:
        ok = parseRange(value, rule.lo, rule.hi);
        break;
    case Action::Deaf:
    case Action::Stay:
        ok = value.empty();
        break;
    case Action::Thermo: {
        double period = 0;
        ok = sizeColon != std::string::npos && parseNumber(value.substr(0, sizeColon), rule.value) &&
             parseNumber(value.substr(sizeColon + 1), period) && period >= 1;
        rule.bytes = long(period);
        break;
    }
    case Action::Sector:
    case Action::Step: {
        double bytes = 0;
        ok = sizeColon != std::string::npos && parseNumber(value.substr(0, sizeColon), bytes) &&
             bytes >= 1 &&
             (rule.action == Action::Sector
                  ? parseRange(value.substr(sizeColon + 1), rule.lo, rule.hi)
                  : parseNumber(value.substr(sizeColon + 1), rule.value));
        rule.bytes = long(bytes);
        break;
    }
    default:
        ok = value.empty() || parseNumber(value, rule.value);
    }
    if (!ok) {
        error = "bad value in '" + text + "'";
        return false;
    }
    return true;
}

bool Flash::holds(std::uint32_t address, const std::uint8_t *data, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t a = address + std::uint32_t(i);
        const auto page = pages_.find(a >> 8);
        const unsigned at = a & 0xFF;
        if (page == pages_.end() || !(page->second.set[at / 64] >> (at % 64) & 1) ||
            page->second.data[at] != data[i])
            return false;
    }
    return n > 0;
}

bool Flash::canWrite(std::uint32_t address, const std::uint8_t *data, std::size_t n) const {
    for (std::size_t i = 0; i < n;) {
        const std::uint32_t a = address + std::uint32_t(i);
        const auto page = pages_.find(a >> 8);
        const std::size_t inPage = std::min<std::size_t>(n - i, 256 - (a & 0xFF));
        if (page != pages_.end()) {
            for (std::size_t k = 0; k < inPage; ++k) {
                const unsigned at = (a & 0xFF) + unsigned(k);
                const bool set = page->second.set[at / 64] >> (at % 64) & 1;
                const std::uint8_t old = set ? page->second.data[at] : 0xFF;
                if ((data[i + k] & ~old) != 0) return false; // only 1 bits turn into 0
            }
        }
        i += inPage;
    }
    return true;
}

void Flash::write(std::uint32_t address, const std::uint8_t *data, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const std::uint32_t a = address + std::uint32_t(i);
        Page &page = pages_[a >> 8];
        const std::size_t inPage = std::min<std::size_t>(n - i, 256 - (a & 0xFF));
        for (std::size_t k = 0; k < inPage; ++k) {
            const unsigned at = (a & 0xFF) + unsigned(k);
            page.data[at] = data[i + k];
            page.set[at / 64] |= std::uint64_t(1) << (at % 64);
        }
        i += inPage;
    }
}

std::size_t Flash::written() const {
    std::size_t n = 0;
    for (const auto &[index, page] : pages_)
        for (std::uint64_t word : page.set)
            n += std::size_t(__builtin_popcountll(word));
    return n;
}

std::map<std::uint32_t, std::uint8_t> Flash::bytes() const {
    std::map<std::uint32_t, std::uint8_t> out;
    for (const auto &[index, page] : pages_)
        for (unsigned at = 0; at < 256; ++at)
            if (page.set[at / 64] >> (at % 64) & 1) out.emplace(index * 256 + at, page.data[at]);
    return out;
}

Instrument::Instrument(Options options) : opt_(std::move(options)), rng_(opt_.seed) {
    // Where the adapter's free-running clock stands when the line opens.
    tickPhase_ = std::chrono::nanoseconds(std::uniform_int_distribution<long>(0, 999999)(rng_));
}

Clock::duration Instrument::charTime() const {
    // Start bit, 8 data bits, parity and stop bit.
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(std::int64_t(11) * 1000000000 / std::max(opt_.baud, 1)));
}

void Instrument::replug() {
    opt_.hangUpAfter = 0;
    hangUpAt_ = Clock::time_point::max();
    partial_.clear();
    pending_.clear();
    onLine_.clear();
}

void Instrument::receive(const std::uint8_t *bytes, std::size_t n, Clock::time_point at) {
    // Each byte takes its time on the line; one written behind others waits for them.
    for (std::size_t i = 0; i < n && hangUpAt_ == Clock::time_point::max(); ++i) {
        inFree_ = std::max(at, inFree_) + charTime();
        consume(bytes[i], inFree_);
    }
}

void Instrument::advance(Clock::time_point now, std::vector<std::uint8_t> &reached) {
    if (hungUp(now)) {
        pending_.clear();
        onLine_.clear();
        return;
    }
    if (!partial_.empty() && now - lastByte_ >= kFrameGap) {
        const std::vector<std::uint8_t> stalled = std::move(partial_);
        partial_.clear();
        handleFrame(stalled, false, lastByte_);
    }
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending &a, const Pending &b) { return a.ready < b.ready; });
    std::size_t taken = 0;
    for (; taken < pending_.size() && pending_[taken].ready <= now; ++taken) {
        // One thing at a time on the line: what is ready waits until it is free.
        Pending &p = pending_[taken];
        auto at = std::max(p.ready, outFree_);
        const Clock::duration path = p.reply ? path_ : Clock::duration{};
        for (std::uint8_t b : p.bytes)
            onLine_.push_back({handedOn(at += charTime(), path), b});
        outFree_ = at;
        if (p.frameArrived != Clock::time_point{} && !p.bytes.empty())
            ownTime_ += handed_ - p.frameArrived - charTime() * long(p.bytes.size());
    }
    pending_.erase(pending_.begin(), pending_.begin() + long(taken));
    std::size_t crossed = 0;
    for (; crossed < onLine_.size() && onLine_[crossed].at <= now; ++crossed)
        reached.push_back(onLine_[crossed].byte);
    onLine_.erase(onLine_.begin(), onLine_.begin() + long(crossed));
}

Clock::time_point Instrument::handedOn(Clock::time_point crossed, Clock::duration path) {
    // The order of what crossed is kept, whatever each reply's path.
    Clock::time_point t = std::max(crossed + path, handed_);
    if (ticksMs_ > 0) {
        const auto period = ms(ticksMs_);
        const auto since = t - (Clock::time_point{} + tickPhase_ % period);
        t += (period - since % period) % period;
    }
    return handed_ = t;
}

Clock::time_point Instrument::nextEvent() const {
    Clock::time_point next = hangUpAt_;
    if (!onLine_.empty()) next = std::min(next, onLine_.front().at);
    for (const Pending &p : pending_)
        next = std::min(next, p.ready);
    if (!partial_.empty()) next = std::min(next, lastByte_ + kFrameGap);
    return next;
}

void Instrument::consume(std::uint8_t byte, Clock::time_point arrival) {
    lastByte_ = arrival;
    if (partial_.empty() && byte != kStart) return; // noise between frames
    partial_.push_back(byte);
    if (partial_.size() == 4 && (partial_[1] != partial_[2] || partial_[3] != kStart)) {
        const std::vector<std::uint8_t> bad = std::move(partial_);
        partial_.clear();
        handleFrame(bad, false, arrival);
        return;
    }
    if (partial_.size() >= 4 && partial_.size() == std::size_t(partial_[1]) + 6) {
        std::vector<std::uint8_t> frame;
        frame.swap(partial_);
        handleFrame(frame, true, arrival);
    }
}

double Instrument::drawMs(double lo, double hi) {
    return lo + (hi - lo) * std::uniform_real_distribution<double>(0, 1)(rng_);
}

void Instrument::handleFrame(const std::vector<std::uint8_t> &frame, bool structurallyOk,
                             Clock::time_point arrival) {
    FrameKind kind = FrameKind::Bad;
    int status = 32;
    std::uint32_t address = 0;
    std::size_t dataBytes = 0;
    if (structurallyOk) {
        const std::size_t L = frame[1];
        unsigned sum = 0;
        for (std::size_t i = 4; i < 4 + L; ++i)
            sum += frame[i];
        const bool sane = L >= 3 && (sum & 0xFF) == frame[4 + L] && frame[5 + L] == kStop &&
                          frame[4] == 0xFA && frame[5] == 0x69;
        if (sane) {
            const std::uint8_t cmd = frame[6];
            const std::uint8_t *payload = frame.data() + 7;
            const std::size_t size = L - 3;
            if (cmd == 0xD3 && size == sizeof kStartPayload &&
                std::equal(payload, payload + size, kStartPayload)) {
                kind = FrameKind::Start;
                status = 0;
            } else if (cmd == 0xD3 && size == sizeof kEndPayload &&
                       std::equal(payload, payload + size, kEndPayload)) {
                kind = FrameKind::End;
                status = 0;
            } else if (cmd == 0xD2 && size >= 4 && payload[3] == size - 4) {
                kind = FrameKind::Data;
                address = payload[0] | (std::uint32_t(payload[1]) << 8) |
                          (std::uint32_t(payload[2]) << 16);
                dataBytes = size - 4;
                const bool writable =
                    programming_ && flash_.canWrite(address, payload + 4, dataBytes);
                status = writable ? 0 : 16;
            }
        }
    }
    const int frameNo = ++frameCount_;
    lineBytes_ += frame.size() + 5;
    if (opt_.keepFrames) frames_.push_back({kind, frame, status, arrival});
    if (frameNo == 1) firstFrame_ = arrival;
    // Its firmware has taken over: what comes is no frame to it.
    if (deaf_) {
        if (opt_.keepFrames) frames_.back().lost = true;
        return;
    }
    const bool held = kind == FrameKind::Data && status == 0 &&
                      flash_.holds(address, frame.data() + 11, dataBytes);
    double heldMs = -1;
    bool deaf = false, stay = false, shapedByFrame = false;
    std::vector<std::pair<double, std::vector<std::uint8_t>>> afterReply;

    // Rules combine: one decides the reply, one the status, every noise rule adds its own noise
    // and every timing rule its own time.
    Action action = Action::Normal;
    double param = 0, jitterMs = 0, extraMs = 0;
    int prefix = 0;
    const Rule *path = nullptr;
    repeatsMs_.clear();
    bool shaped = false, statusSet = false;
    std::vector<Pending> noise;
    for (Rule &r : opt_.rules) {
        if (r.times == 0 || (r.frameNo != 0 && r.frameNo != frameNo) ||
            (r.kind != FrameKind::Any && r.kind != kind))
            continue;
        const bool isStatus = r.action == Action::Status;
        if ((isStatus && statusSet) || (isShaping(r.action) && shaped)) continue;
        if (r.times > 0) --r.times;
        const auto after = arrival + ms(r.value);
        switch (r.action) {
        case Action::Status:
            statusSet = true;
            status = int(r.value) & 0xFF;
            break;
        case Action::Stray:
            noise.push_back({after, {0xA5}});
            break;
        case Action::Burst:
            noise.push_back({after, std::vector<std::uint8_t>(5, 0x00)});
            break;
        case Action::Prefix:
            prefix += std::max(int(r.value), 1);
            break;
        case Action::Repeat:
            repeatsMs_.push_back(r.value);
            break;
        case Action::Jitter:
            jitterMs = std::max(jitterMs, r.value);
            break;
        case Action::Ticks:
            ticksMs_ = std::max(ticksMs_, r.value);
            break;
        case Action::Path:
            if (!path || r.hi > path->hi) path = &r;
            break;
        case Action::PerByte:
            if (kind == FrameKind::Data) extraMs += r.value * double(dataBytes) / 1000.0;
            break;
        case Action::EndSlow:
            if (kind == FrameKind::End) extraMs += r.value;
            break;
        case Action::Drift:
            extraMs += r.lo + (r.hi - r.lo) * std::min(1.0, double(written_) / kDriftBytes);
            break;
        case Action::Step:
            if (written_ >= r.bytes) extraMs += r.value;
            break;
        case Action::Slow:
            extraMs += r.value;
            break;
        case Action::Thermo:
            if ((arrival - firstFrame_) / ms(double(r.bytes)) % 2 == 1) extraMs += r.value;
            break;
        case Action::Held:
            heldMs = r.value;
            break;
        case Action::Talk:
            if (kind == FrameKind::End) afterReply.push_back({r.value, {0xFF}});
            break;
        case Action::Greet:
            if (kind == FrameKind::End) {
                static const char greeting[] = "Q7310 V2.1\r\n";
                afterReply.push_back(
                    {r.value, std::vector<std::uint8_t>(greeting, greeting + sizeof greeting - 1)});
            }
            break;
        case Action::Deaf:
            deaf = true;
            break;
        case Action::Stay:
            stay = true;
            break;
        case Action::Sector:
            // An erase of each sector not yet written since the start, before the write.
            if (kind == FrameKind::Data && status == 0 && dataBytes > 0) {
                for (std::uint32_t s = address / std::uint32_t(r.bytes);
                     s <= (address + dataBytes - 1) / std::uint32_t(r.bytes); ++s) {
                    if (std::find(sectors_.begin(), sectors_.end(), s) != sectors_.end()) continue;
                    sectors_.push_back(s);
                    extraMs += drawMs(r.lo, r.hi);
                }
            }
            break;
        default:
            shaped = true;
            shapedByFrame = r.frameNo != 0;
            action = r.action;
            param = r.value;
        }
    }
    if (opt_.hangUpAfter > 0 && frameNo > opt_.hangUpAfter) action = Action::HangUp;
    if (action == Action::Lost) {
        if (opt_.keepFrames) frames_.back().lost = true;
        status = -1;
    }
    for (Pending &p : noise)
        schedule(p.ready, std::move(p.bytes));
    // Only what the instrument answers with 0 takes effect: a refused frame changes nothing.
    // A reply that is lost or late on the way does not undo what was done.
    if (status == 0 && action != Action::HangUp) {
        carryOut(kind, frame, address);
        if (kind == FrameKind::End) {
            programming_ = stay;
            deaf_ = deaf;
        }
    }
    // A block it holds already: its own time instead of what the rules add; a fault of that
    // frame's still holds.
    if (held && heldMs >= 0) {
        extraMs = heldMs;
        if (action == Action::Delay && !shapedByFrame) param = 0;
    }

    if (opt_.verbose)
        std::fprintf(stderr, "q7310sim: frame %d %s, %zu bytes, status %d%s\n", frameNo,
                     kindName(kind), frame.size(), status,
                     action == Action::Normal && noise.empty() && prefix == 0 ? ""
                                                                              : " (misbehaving)");
    if (action == Action::Lost) return;

    held_ = std::chrono::microseconds(
        std::uniform_int_distribution<int>(0, int(jitterMs * 1000))(rng_));
    path_ = path ? ms(drawMs(path->lo, path->hi)) : Clock::duration{};
    const Clock::time_point ready = arrival + ms(extraMs);
    // After the reply has crossed the line: what a resetting instrument says.
    for (auto &[after, bytes] : afterReply)
        schedule(ready + (action == Action::Delay ? ms(param) : Clock::duration{}) + held_ +
                     charTime() * 5 + ms(after),
                 std::move(bytes));
    const std::uint8_t s = std::uint8_t(status);
    std::vector<std::uint8_t> reply = {0x10, 0xFA, s, std::uint8_t(0xFA + s), kStop};
    reply.insert(reply.begin(), std::size_t(prefix), 0xA5);
    switch (action) {
    case Action::NoReply:
        break;
    case Action::Delay:
        scheduleReply(ready + ms(param), reply,
                      firstAnswer(kind, address, dataBytes) ? arrival : Clock::time_point{});
        break;
    case Action::Split:
        scheduleReply(ready, {reply.begin(), reply.end() - 3});
        repeatsMs_.clear();
        scheduleReply(ready + ms(param), {reply.end() - 3, reply.end()});
        break;
    case Action::Short:
        reply.resize(std::size_t(std::clamp(int(param), 0, 4)));
        if (!reply.empty()) scheduleReply(ready, reply);
        break;
    case Action::Long:
        reply.push_back(0x00);
        scheduleReply(ready, reply);
        break;
    case Action::Garbage:
        scheduleReply(ready, std::vector<std::uint8_t>(std::size_t(std::max(int(param), 1)), 0xA5));
        break;
    case Action::HangUp:
        // Closing both ends of the line is what an unplugged adapter looks like to the flasher.
        hangUpAt_ = arrival;
        break;
    case Action::Chatter: // a noisy line: never quiet for long, never a reply
        for (int t = 0; t < int(param); t += 150)
            schedule(arrival + std::chrono::milliseconds(t), {0xA5});
        break;
    default:
        scheduleReply(ready, reply, firstAnswer(kind, address, dataBytes) ? arrival
                                                                           : Clock::time_point{});
    }
}

bool Instrument::firstAnswer(FrameKind kind, std::uint32_t address, std::size_t length) {
    const std::uint64_t key =
        std::uint64_t(kind) << 48 | std::uint64_t(length) << 32 | std::uint64_t(address);
    const auto at = std::lower_bound(answered_.begin(), answered_.end(), key);
    if (at != answered_.end() && *at == key) return false;
    answered_.insert(at, key);
    return true;
}

void Instrument::carryOut(FrameKind kind, const std::vector<std::uint8_t> &frame,
                          std::uint32_t address) {
    lastTaken_ = kind;
    switch (kind) {
    case FrameKind::Start:
        flash_.erase(); // the whole flash reads FF again
        programming_ = true;
        written_ = 0;
        sectors_.clear();
        ++erases_;
        break;
    case FrameKind::End:
        programming_ = false;
        ++endFrames_;
        if (!opt_.dumpFile.empty()) {
            if (FILE *f = std::fopen(opt_.dumpFile.c_str(), "w")) {
                const std::string hex = ToIntelHex(flash_.bytes());
                std::fwrite(hex.data(), 1, hex.size(), f);
                std::fclose(f);
            }
        }
        break;
    case FrameKind::Data: {
        const std::size_t n = frame.size() - 13;
        flash_.write(address, frame.data() + 11, n);
        written_ += long(n);
        break;
    }
    default:
        break;
    }
}

void Instrument::schedule(Clock::time_point ready, std::vector<std::uint8_t> bytes, bool reply,
                          Clock::time_point frameArrived) {
    pending_.push_back({ready, std::move(bytes), reply, frameArrived});
}

void Instrument::scheduleReply(Clock::time_point ready, std::vector<std::uint8_t> bytes,
                               Clock::time_point frameArrived) {
    for (double after : repeatsMs_)
        schedule(ready + held_ + ms(after), bytes, true);
    schedule(ready + held_, std::move(bytes), true, frameArrived);
}

std::string Instrument::ToIntelHex(const std::map<std::uint32_t, std::uint8_t> &memory) {
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
