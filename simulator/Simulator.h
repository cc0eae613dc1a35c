#pragma once
// A simulated Q7310 on a pseudo-terminal: it checks every request frame, keeps the programmed
// memory and answers with 5-byte replies, and it can be told to misbehave.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace q7310sim {

enum class FrameKind { Any, Start, Data, End, Bad };

enum class Action {
    Normal,
    NoReply,
    Delay,   // param: milliseconds
    Split,   // param: milliseconds between the two halves
    Short,   // param: bytes sent (fewer than 5)
    Long,    // a sixth byte follows the reply
    Status,  // param: status byte to report instead
    Garbage, // param: number of garbage bytes instead of a reply
    HangUp,  // close the line instead of answering
    Chatter, // param: milliseconds of a stray byte every 150 ms instead of a reply
};

struct Rule {
    int frameNo = 0; // 1-based number of the frame received; 0: any
    FrameKind kind = FrameKind::Any;
    Action action = Action::Normal;
    int param = 0;
    int times = -1; // how often it may still apply; -1: always
};

// "3:status=16", "data:noreply", "start:delay=500", "2-4:short=3"
bool ParseRule(const std::string &text, Rule &rule, std::string &error);

struct ReceivedFrame {
    FrameKind kind;
    std::vector<std::uint8_t> bytes;
    int status; // the status the checks gave (before any misbehaviour)
    std::chrono::steady_clock::time_point at; // when its last byte came in
};

struct Options {
    int baud = 0; // > 0: frames and replies take their wire time at 11 bits per byte
    bool verbose = false;
    std::string dumpFile = {}; // Intel HEX of the written bytes, written on each end frame
    int hangUpAfter = 0;       // > 0: close the line after this many frames
    std::vector<Rule> rules = {};
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
    std::string devicePath() const { return path_; }

    void addRule(const Rule &rule);
    void setHangUpAfter(int frames);

    // Snapshots, safe to call while the simulator runs.
    std::vector<ReceivedFrame> frames() const;
    std::map<std::uint32_t, std::uint8_t> memory() const;
    bool programmingMode() const;
    int endFrames() const; // end frames taken (answered with 0)
    bool hungUp() const { return hungUp_; }

    static std::string ToIntelHex(const std::map<std::uint32_t, std::uint8_t> &memory);

private:
    struct Pending {
        std::chrono::steady_clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };

    void loop();
    void consume(std::uint8_t byte, std::chrono::steady_clock::time_point now);
    void handleFrame(const std::vector<std::uint8_t> &frame, bool structurallyOk,
                     std::chrono::steady_clock::time_point now);
    // What an accepted frame does: erase, write the data, or end the programming.
    void carryOut(FrameKind kind, const std::vector<std::uint8_t> &frame, std::uint32_t address);
    void schedule(std::chrono::steady_clock::time_point due, std::vector<std::uint8_t> bytes);
    void hangUp();
    std::chrono::microseconds wireTime(std::size_t bytes) const;

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
    std::chrono::steady_clock::time_point lastByte_{};
    std::vector<ReceivedFrame> frames_;
    std::map<std::uint32_t, std::uint8_t> memory_;
    bool programming_ = false;
    int endFrames_ = 0;
    std::vector<Pending> pending_;
    std::chrono::steady_clock::time_point busyUntil_{};
};

} // namespace q7310sim
