#pragma once
// A simulated Q7310 on a pseudo-terminal: it checks every request frame, keeps the programmed
// memory and answers with 5-byte replies, and it can be told to misbehave as an instrument or a
// real line does. Both directions of the line take their time at the line speed, byte by byte.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace q7310sim {

enum class FrameKind { Any, Start, Data, End, Bad };

enum class Action {
    // What becomes of the reply (the first rule of these that matches a frame decides):
    Normal,
    NoReply, // the frame takes effect, its reply is lost
    Lost,    // the frame never arrives: no effect, no reply
    Delay,   // param: milliseconds the reply is held back
    Split,   // param: milliseconds between the two halves
    Short,   // param: bytes sent (fewer than 5)
    Long,    // a sixth byte follows the reply
    Garbage, // param: number of garbage bytes instead of a reply
    HangUp,  // close the line instead of answering
    Chatter, // param: milliseconds of a stray byte every 150 ms instead of a reply
    // The status reported (the first matching rule decides):
    Status, // param: status byte to report instead
    // Noise besides the reply (every matching rule adds its own):
    Stray,  // param: milliseconds after the frame arrived, one stray byte
    Burst,  // param: milliseconds after the frame arrived, five 0x00 (a break read as bytes)
    Prefix, // param: stray bytes right in front of the reply
    Repeat, // param: milliseconds after the reply, the same reply once more
    // How the reply reaches the flasher (the largest matching rule counts):
    Jitter, // param: the reply is held a random 0 to that many milliseconds, as a USB adapter's
            // latency timer holds what it received
};

struct Rule {
    int frameNo = 0; // 1-based number of the frame received; 0: any
    FrameKind kind = FrameKind::Any;
    Action action = Action::Normal;
    int param = 0;
    int times = -1; // how often it may still apply; -1: always
};

// "3:status=16", "data:noreply", "start:delay=500", "5:burst=30"
bool ParseRule(const std::string &text, Rule &rule, std::string &error);

struct ReceivedFrame {
    FrameKind kind;
    std::vector<std::uint8_t> bytes;
    int status;                               // the status the checks gave (before any rule)
    std::chrono::steady_clock::time_point at; // when its last byte came in over the line
    bool lost = false;                        // it never reached the instrument
};

struct Options {
    int baud = 38400; // the line, 11 bits a byte (8E1) in both directions
    bool verbose = false;
    std::string dumpFile = {}; // Intel HEX of the written bytes, written on each end frame
    int hangUpAfter = 0;       // > 0: close the line after this many frames
    std::vector<Rule> rules = {};
    unsigned seed = 1; // of the jitter
};

class Simulator {
public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Opens the pseudo-terminal and starts answering; false (with error) where none can be had.
    bool start(std::string &error);
    void stop();
    // After a hang-up: a new line (a new device path) to the instrument as it was, as when an
    // adapter is plugged back in; it no longer hangs up by itself.
    bool replug(std::string &error);
    std::string devicePath() const { return path_; }

    void addRule(const Rule &rule);
    void setHangUpAfter(int frames);

    // Snapshots, safe to call while the simulator runs.
    std::vector<ReceivedFrame> frames() const;
    std::map<std::uint32_t, std::uint8_t> memory() const;
    bool programmingMode() const;
    int endFrames() const; // end frames taken (answered with 0)
    // The kind of the last frame that took effect: an image is complete only when it is End.
    FrameKind lastTaken() const;
    bool hungUp() const { return hungUp_; }

    static std::string ToIntelHex(const std::map<std::uint32_t, std::uint8_t> &memory);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point ready; // when the instrument starts to send it
        std::vector<std::uint8_t> bytes;
    };

    void loop();
    void consume(std::uint8_t byte, Clock::time_point arrival);
    void handleFrame(const std::vector<std::uint8_t> &frame, bool structurallyOk,
                     Clock::time_point arrival);
    // What an accepted frame does: erase, write the data, or end the programming.
    void carryOut(FrameKind kind, const std::vector<std::uint8_t> &frame, std::uint32_t address);
    void schedule(Clock::time_point ready, std::vector<std::uint8_t> bytes);
    // Schedules (part of) a reply, held by the jitter drawn for it, and its repeats.
    void scheduleReply(Clock::time_point ready, std::vector<std::uint8_t> bytes);
    // Puts what is ready onto the line, one byte after the other, and writes what has crossed.
    Clock::time_point transmit(Clock::time_point now);
    void hangUp();
    Clock::duration charTime() const;

    Options opt_;
    int master_ = -1;
    int slave_ = -1; // held open so that the line survives the flasher closing its end
    std::string path_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> hungUp_{false};
    int wakeRead_ = -1, wakeWrite_ = -1;

    mutable std::mutex mutex_;
    std::vector<std::uint8_t> partial_;
    Clock::time_point lastByte_{};
    Clock::time_point inFree_{};  // the last byte towards the instrument has arrived by then
    Clock::time_point outFree_{}; // the line towards the flasher is free from then
    std::vector<ReceivedFrame> frames_;
    std::map<std::uint32_t, std::uint8_t> memory_;
    bool programming_ = false;
    int endFrames_ = 0;
    FrameKind lastTaken_ = FrameKind::Any;
    std::vector<Pending> pending_;
    std::mt19937 rng_;
    Clock::duration held_{};     // the jitter drawn for the reply being answered
    std::vector<int> repeatsMs_; // the repeats of the reply being answered
    std::vector<std::pair<Clock::time_point, std::uint8_t>> onLine_; // byte, when it has crossed
};

} // namespace q7310sim
