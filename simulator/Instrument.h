#pragma once
// The simulated Q7310 and the line to it, without any I/O: it checks every request frame, keeps
// the programmed flash and answers with 5-byte replies, and it can be told to misbehave as an
// instrument, a line, a USB adapter or a network path does. Both directions of the line take
// their time at the line speed, byte by byte, one thing at a time each way. Whoever drives it
// hands it what the flasher wrote and when, and asks what has reached the flasher by a given
// moment: the pseudo-terminal simulator in real time, the virtual line in simulated time.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace q7310sim {

using Clock = std::chrono::steady_clock;

enum class FrameKind { Any, Start, Data, End, Bad };

enum class Action {
    // What becomes of the reply (the first rule of these that matches a frame decides):
    Normal,
    NoReply, // the frame takes effect, its reply is lost
    Lost,    // the frame never arrives: no effect, no reply
    Delay,   // value: milliseconds the reply is held back
    Split,   // value: milliseconds between the two halves
    Short,   // value: bytes sent (fewer than 5)
    Long,    // a sixth byte follows the reply
    Garbage, // value: number of garbage bytes instead of a reply
    HangUp,  // close the line instead of answering
    Chatter, // value: milliseconds of a stray byte every 150 ms instead of a reply
    // The status reported (the first matching rule decides):
    Status, // value: status byte to report instead
    // Noise besides the reply (every matching rule adds its own):
    Stray,  // value: milliseconds after the frame arrived, one stray byte
    Burst,  // value: milliseconds after the frame arrived, five 0x00 (a break read as bytes)
    Prefix, // value: stray bytes right in front of the reply
    Repeat, // value: milliseconds after the reply, the same reply once more
    // How long the instrument takes to answer (every matching rule adds its own):
    PerByte, // value: microseconds more per data byte of the frame
    Sector,  // bytes: sector size; lo-hi: milliseconds more for the first write into a sector
    EndSlow, // value: milliseconds more for the end command
    Drift,   // lo-hi: milliseconds more, from lo at the start to hi after 64 KiB written
    Step,    // bytes, value: milliseconds more once that many bytes have been written
    Slow,    // value: milliseconds more (an erase, a check of the flash, a slow block)
    Thermo,  // value: milliseconds more in every other period of `bytes` milliseconds, from
             // the first frame on, as a thermostat switching a heater does
    Held,    // value: milliseconds a block it already holds takes, instead of what the rules
             // of its own time add
    // After the end (noise, each adds its own; and what the instrument does then):
    Talk,    // value: milliseconds after the end's reply, one byte (the line as it resets)
    Greet,   // value: milliseconds after the end's reply, a greeting of the new firmware
    Deaf,    // once it has taken the end, frames take no effect and get no reply
    Stay,    // it stays in programming after the end: blocks are still written
    // How the reply reaches the flasher (the largest matching rule of each counts):
    Jitter, // value: the reply is held a random 0 to that many milliseconds
    Ticks,  // value: what crossed is handed on at the ticks of a free-running clock of that
            // period, as a USB adapter's latency timer does
    Path,   // lo-hi: each reply takes a random lo to hi milliseconds more, order kept, as a
            // radio link or a USB hub adds
};

struct Rule {
    int frameNo = 0; // 1-based number of the frame received; 0: any
    FrameKind kind = FrameKind::Any;
    Action action = Action::Normal;
    double value = 0;     // the one number of most actions (milliseconds, bytes, a status)
    double lo = 0, hi = 0; // a range, in milliseconds
    long bytes = 0;        // a size in bytes
    int times = -1;        // how often it may still apply; -1: always
};

// "3:status=16", "data:noreply", "start:delay=500", "5:burst=30", "data:sector=4096:20-120",
// "any:path=5-40", "data:step=32768:15", "any:perbyte=20", "any:drift=20-0",
// "any:thermo=25:4000", "data:held=0", "end:greet=100", "end:deaf"
bool ParseRule(const std::string &text, Rule &rule, std::string &error);
// How the rules are written, for --help.
extern const char RuleHelp[];

struct ReceivedFrame {
    FrameKind kind;
    std::vector<std::uint8_t> bytes;
    int status;            // the status the checks gave (before any rule)
    Clock::time_point at;  // when its last byte came in over the line
    bool lost = false;     // it never reached the instrument
};

struct Options {
    int baud = 38400; // the line, 11 bits a byte (8E1) in both directions
    bool verbose = false;
    std::string dumpFile = {}; // Intel HEX of the written bytes, written on each end frame
    int hangUpAfter = 0;       // > 0: close the line after this many frames
    std::vector<Rule> rules = {};
    unsigned seed = 1; // of everything drawn at random
    bool keepFrames = true; // keep every frame's bytes (frames())
};

// The flash as the instrument holds it: what was written since the last erase.
class Flash {
public:
    void erase() { pages_.clear(); }
    // Whether these bytes can be written at `address`: flash only turns 1 bits into 0.
    bool canWrite(std::uint32_t address, const std::uint8_t *data, std::size_t n) const;
    // Whether exactly these bytes were written at `address` already.
    bool holds(std::uint32_t address, const std::uint8_t *data, std::size_t n) const;
    void write(std::uint32_t address, const std::uint8_t *data, std::size_t n);
    std::size_t written() const;
    std::map<std::uint32_t, std::uint8_t> bytes() const;
    bool operator==(const Flash &other) const = default;

private:
    struct Page {
        std::array<std::uint8_t, 256> data{};
        std::array<std::uint64_t, 4> set{}; // which bytes were written
        bool operator==(const Page &) const = default;
    };
    std::map<std::uint32_t, Page> pages_; // by address / 256
};

class Instrument {
public:
    explicit Instrument(Options options = {});

    // Bytes the flasher wrote at `at`: they cross the line one after the other, behind what is
    // still crossing, and the instrument acts on each frame as its last byte arrives.
    void receive(const std::uint8_t *bytes, std::size_t n, Clock::time_point at);
    // What is due by `now` happens (a frame stalled too long is dropped, replies go onto the
    // line); appends what has reached the flasher by then.
    void advance(Clock::time_point now, std::vector<std::uint8_t> &reached);
    // When advance has something to do next; time_point::max() when nothing is pending.
    Clock::time_point nextEvent() const;
    // A rule closed the line, by `now`.
    bool hungUp(Clock::time_point now) const { return now >= hangUpAt_; }
    // A new line to the instrument as it was, as when an adapter is plugged back in; it no
    // longer hangs up by itself.
    void replug();

    void addRule(const Rule &rule) { opt_.rules.push_back(rule); }
    void setHangUpAfter(int frames) { opt_.hangUpAfter = frames; }
    const Options &options() const { return opt_; }

    const std::vector<ReceivedFrame> &frames() const { return frames_; }
    int frameCount() const { return frameCount_; }
    const Flash &flash() const { return flash_; }
    bool programmingMode() const { return programming_; }
    int endFrames() const { return endFrames_; }   // end frames taken (answered with 0)
    int erases() const { return erases_; }         // start frames taken
    // The kind of the last frame that took effect: an image is complete only when it is End.
    FrameKind lastTaken() const { return lastTaken_; }
    // The time it took to answer, beyond the line: what its own rules, an adapter and a path
    // added, for each frame the first time it was answered (a frame sent again costs the
    // flasher, not the instrument).
    Clock::duration ownTime() const { return ownTime_; }
    // Every frame received and a 5-byte reply to each, on the line.
    Clock::duration wireTime() const { return charTime() * long(lineBytes_); }
    Clock::duration charTime() const;

    static std::string ToIntelHex(const std::map<std::uint32_t, std::uint8_t> &memory);

private:
    struct Pending {
        Clock::time_point ready; // when the instrument starts to send it
        std::vector<std::uint8_t> bytes;
        bool reply = false; // a reply (or part of one): the path holds it
        // For the first reply to a frame: when the frame arrived, so that what the instrument
        // and the way back took beyond the line is counted.
        Clock::time_point frameArrived{};
    };

    void consume(std::uint8_t byte, Clock::time_point arrival);
    void handleFrame(const std::vector<std::uint8_t> &frame, bool structurallyOk,
                     Clock::time_point arrival);
    void carryOut(FrameKind kind, const std::vector<std::uint8_t> &frame, std::uint32_t address);
    void schedule(Clock::time_point ready, std::vector<std::uint8_t> bytes, bool reply = false,
                  Clock::time_point frameArrived = {});
    void scheduleReply(Clock::time_point ready, std::vector<std::uint8_t> bytes,
                       Clock::time_point frameArrived = {});
    // When a byte that crossed at `crossed` is handed on to the flasher.
    Clock::time_point handedOn(Clock::time_point crossed, Clock::duration path);
    // True the first time this frame is answered.
    bool firstAnswer(FrameKind kind, std::uint32_t address, std::size_t length);
    double drawMs(double lo, double hi);

    Options opt_;
    std::vector<std::uint8_t> partial_;
    Clock::time_point lastByte_{};
    Clock::time_point inFree_{};  // the last byte towards the instrument has arrived by then
    Clock::time_point outFree_{}; // the line towards the flasher is free from then
    Clock::time_point handed_{};  // the last byte was handed on to the flasher then
    Clock::time_point hangUpAt_ = Clock::time_point::max();
    std::vector<ReceivedFrame> frames_;
    int frameCount_ = 0;
    Flash flash_;
    bool programming_ = false;
    bool deaf_ = false; // it took the end and has left for its firmware, which ignores frames
    Clock::time_point firstFrame_{};
    int endFrames_ = 0, erases_ = 0;
    long written_ = 0;                    // data bytes written since the last erase
    std::vector<std::uint32_t> sectors_;  // sectors written into since the last erase
    FrameKind lastTaken_ = FrameKind::Any;
    std::vector<Pending> pending_;
    std::mt19937 rng_;
    Clock::duration held_{};      // the jitter drawn for the reply being answered
    Clock::duration path_{};      // the path's delay drawn for the reply being answered
    double ticksMs_ = 0, pathLo_ = 0, pathHi_ = 0;
    Clock::duration tickPhase_{};
    Clock::duration ownTime_{};
    std::size_t lineBytes_ = 0;
    std::vector<double> repeatsMs_; // the repeats of the reply being answered
    std::vector<std::uint64_t> answered_; // frames answered once: kind, address and length
    struct OnLine {
        Clock::time_point at; // reaches the flasher
        std::uint8_t byte;
    };
    std::vector<OnLine> onLine_;
};

} // namespace q7310sim
