#pragma once
// The instrument's world in simulated time: a clock that jumps to the next thing that happens
// when nothing is ready (VirtualTime), and a port whose bytes cross to the simulated instrument
// and back at the line's speed (VirtualComm). The run under test is the program's own code; only
// its clock and its port are these. A run of minutes takes milliseconds, and the same seed gives
// the same run.

#include "protocol/RunClock.h"
#include "serial/SerialComm.h"
#include "simulator/Instrument.h"

#include <functional>
#include <queue>
#include <random>
#include <stdexcept>
#include <vector>

class VirtualTime : public RunClock {
public:
    // A wait with nothing left to happen, or past the limit, would never end in the program.
    struct Stuck : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    VirtualTime();

    time_point now() const override { return now_; }
    std::chrono::nanoseconds processorWait() const override { return {}; }
    // Runs the next thing that happens, the clock jumping to it.
    void LetEventsRun() override;
    // Runs what is due now.
    void LetPendingEventsRun() override;
    std::unique_ptr<TimerEngine> makeEngine(RunTimer &owner) override;

    // `what` happens at `when` (now at the earliest); things due at the same moment happen in
    // the order they were arranged. It returns whether it did anything (a cancelled timer does
    // not).
    void at(time_point when, std::function<bool()> what);
    // Lets `span` of simulated time pass, and everything that happens in it.
    void pass(std::chrono::nanoseconds span);
    // A wait beyond this much simulated time from now is a hang.
    void limitTo(std::chrono::seconds fromNow) { limit_ = now_ + fromNow; }
    // Lets the application's own events (painting a window) run too at every step.
    void alsoQtEvents(bool on) { alsoQt_ = on; }
    // The simulated time that has passed.
    std::chrono::nanoseconds elapsed() const { return now_ - start_; }

private:
    struct Event {
        time_point when;
        std::uint64_t order;
        std::function<bool()> what;
        bool operator>(const Event &o) const {
            return when != o.when ? when > o.when : order > o.order;
        }
    };
    bool runNext(time_point notAfter);

    time_point start_, now_, limit_;
    std::uint64_t order_ = 0;
    bool alsoQt_ = false;
    std::priority_queue<Event, std::vector<Event>, std::greater<>> events_;
};

// A port to the simulated instrument: what the run writes crosses the line to it, and what it
// sends reaches the port byte by byte, each when it has crossed (and passed what an adapter or a
// path holds it for). A rule that hangs the line up makes the port fail, as an adapter pulled
// out does; replug() brings the device back.
class VirtualComm : public SerialComm {
    Q_OBJECT
public:
    VirtualComm(VirtualTime &time, q7310sim::Instrument &instrument, QObject *parent = nullptr);

    bool setPortOpen(bool open) override;
    bool PortOpen() const override { return open_; }
    QString deviceName() const override;
    void Output(const QByteArray &bytes) override;
    int InBufferCount() const override { return int(received_.size()); }
    QByteArray Input() override;
    QByteArray DiscardInput() override { return Input(); }

    // The host stalls now and then (a busy machine): every `everyMs` or so, for lo to hi ms, it
    // neither sees what arrives nor writes; both happen when the stall is over.
    void hiccups(double everyMs, double loMs, double hiMs, unsigned seed);

    // The device is there again after a hang-up; or it is not there.
    void replug();
    void unplug() { gone_ = true; }
    // How messages name the device.
    QString device = QStringLiteral("virtuell");

private:
    void pump();
    void arrange();
    // The end of the stall `at` falls in; `at` itself when none.
    RunClock::time_point unstalled(RunClock::time_point at);

    VirtualTime &time_;
    q7310sim::Instrument &instrument_;
    bool open_ = false;
    bool gone_ = false; // hung up: the device cannot be opened
    QByteArray received_;
    std::vector<std::uint8_t> reached_;
    RunClock::time_point pumpAt_ = RunClock::time_point::max();
    struct Stalls {
        double everyMs = 0, loMs = 0, hiMs = 0;
        std::mt19937 rng;
        RunClock::time_point from{}, to{}; // the stall now or next
        QByteArray unseen;                 // what came during it
        bool flushing = false;
    } stalls_;
};
