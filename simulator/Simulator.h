#pragma once
// A simulated Q7310 on a pseudo-terminal, in real time: the instrument and its line (Instrument)
// driven by a thread of its own, for the flasher, the tests that go through a real port and
// q7310sim.

#include "simulator/Instrument.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace q7310sim {

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
    int endFrames() const;
    FrameKind lastTaken() const;
    bool hungUp() const { return hungUp_; }
    // What a run cost: frames received and erases done, the time on the line and the time the
    // instrument and the way back took beyond it.
    struct Figures {
        int frames = 0, erases = 0;
        Clock::duration wire{}, own{};
    };
    Figures figures() const;

    static std::string ToIntelHex(const std::map<std::uint32_t, std::uint8_t> &memory) {
        return Instrument::ToIntelHex(memory);
    }

private:
    void loop();
    void hangUp();

    int master_ = -1;
    int slave_ = -1; // held open so that the line survives the flasher closing its end
    std::string path_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> hungUp_{false};
    int wakeRead_ = -1, wakeWrite_ = -1;

    mutable std::mutex mutex_;
    Instrument instrument_;
};

} // namespace q7310sim
