#pragma once
// Time and waiting for a run, behind one seam. In the program they are steady_clock, Qt's event
// loop and Qt's timers; in tests and the fault campaign a simulated clock that jumps to the next
// thing that happens when nothing is ready. The run waits as it always did: it sets a flag,
// starts a timer and lets events run until a handler clears the flag. Only what "let events
// run" does differs, and the run does not know which clock it has.

#include <QObject>
#include <chrono>
#include <memory>

class RunTimer;

// What a clock does for one of its timers.
class TimerEngine {
public:
    TimerEngine() = default;
    virtual ~TimerEngine() = default;
    Q_DISABLE_COPY_MOVE(TimerEngine)
    // Fires `interval` from now, and again every interval unless single shot; a running timer
    // starts its interval anew.
    virtual void start(std::chrono::milliseconds interval, bool singleShot) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

class RunClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    RunClock() = default;
    virtual ~RunClock() = default;
    Q_DISABLE_COPY_MOVE(RunClock)

    virtual time_point now() const = 0;
    // How long this thread has been ready to run but waiting for a processor, in all; zero where
    // the system does not tell. A reply seen late for that reason was on time on the wire.
    virtual std::chrono::nanoseconds processorWait() const = 0;
    // Lets pending events run once, waiting for the next one when none is pending.
    virtual void LetEventsRun() = 0;
    // Lets the events that are pending run, without waiting for more.
    virtual void LetPendingEventsRun() = 0;
    // The engine behind a timer of this clock; it makes `owner` fire its timeout.
    virtual std::unique_ptr<TimerEngine> makeEngine(RunTimer &owner) = 0;

    // The program's clock.
    static RunClock &Real();
};

// A timer on a run's clock, with what the run uses of a QTimer.
class RunTimer : public QObject {
    Q_OBJECT
public:
    explicit RunTimer(RunClock &clock = RunClock::Real(), QObject *parent = nullptr);
    ~RunTimer() override;

    void setInterval(int ms) { interval_ = ms; }
    int interval() const { return interval_; }
    void setSingleShot(bool single) { singleShot_ = single; }
    bool isSingleShot() const { return singleShot_; }
    void start() { engine_->start(std::chrono::milliseconds(interval_), singleShot_); }
    void start(int ms) {
        interval_ = ms;
        start();
    }
    // Starts it for its interval and `extra` more, the interval itself kept.
    void startPlus(std::chrono::milliseconds extra) {
        engine_->start(std::chrono::milliseconds(interval_) + extra, singleShot_);
    }
    void stop() { engine_->stop(); }
    bool isActive() const { return engine_->isActive(); }
    RunClock &clock() const { return clock_; }

signals:
    void timeout();

private:
    RunClock &clock_;
    std::unique_ptr<TimerEngine> engine_;
    int interval_ = 0;
    bool singleShot_ = false;
};

// Lets events run for `span` on the clock.
void Pause(RunClock &clock, std::chrono::milliseconds span);

// How long this thread has waited for a processor, where the system tells (Linux).
std::chrono::nanoseconds WaitedForProcessor();
