#include "protocol/RunClock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

namespace {
// A Qt timer, precise: a coarse one may fire 5 % early and cut a slow instrument's time short.
class QtTimerEngine : public TimerEngine {
public:
    explicit QtTimerEngine(RunTimer &owner) {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, &owner, &RunTimer::timeout);
    }
    void start(std::chrono::milliseconds interval, bool singleShot) override {
        timer_.setSingleShot(singleShot);
        timer_.start(interval);
    }
    void stop() override { timer_.stop(); }
    bool isActive() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};

// Watches one wait: counts the events delivered on this thread and, when the dispatcher is about
// to block after some were, cuts the wait short.
class WaitWatch : public QObject {
    Q_OBJECT
public:
    explicit WaitWatch(QAbstractEventDispatcher *dispatcher, QObject *parent = nullptr)
        : QObject(parent), dispatcher_(dispatcher) {
        QCoreApplication::instance()->installEventFilter(this);
        connect(dispatcher_, &QAbstractEventDispatcher::aboutToBlock, this,
                &WaitWatch::beforeBlocking);
    }
    ~WaitWatch() override { QCoreApplication::instance()->removeEventFilter(this); }
    bool eventFilter(QObject *, QEvent *) override {
        ++delivered_;
        return false;
    }

private:
    void beforeBlocking() {
        if (delivered_ == seen_) return;
        seen_ = delivered_;
        dispatcher_->interrupt();
    }
    QAbstractEventDispatcher *dispatcher_;
    int delivered_ = 0;
    int seen_ = 0;
};

class RealClock : public RunClock {
public:
    time_point now() const override { return std::chrono::steady_clock::now(); }
    std::chrono::nanoseconds processorWait() const override { return WaitedForProcessor(); }
    void LetEventsRun() override {
        // Returns once something has happened. Windows' dispatcher delivers the events posted to
        // it (a port's notifier among them) before it waits, and then waits on for a message as
        // if nothing had come; the caller's condition, met by them, would never be looked at
        // again. Such a wait is cut short.
        WaitWatch watch(QAbstractEventDispatcher::instance());
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    void LetPendingEventsRun() override { QCoreApplication::processEvents(); }
    std::unique_ptr<TimerEngine> makeEngine(RunTimer &owner) override {
        return std::make_unique<QtTimerEngine>(owner);
    }
};
} // namespace

RunClock &RunClock::Real() {
    static RealClock clock;
    return clock;
}

RunTimer::RunTimer(RunClock &clock, QObject *parent)
    : QObject(parent), clock_(clock), engine_(clock.makeEngine(*this)) {}

RunTimer::~RunTimer() = default;

void Pause(RunClock &clock, std::chrono::milliseconds span) {
    RunTimer timer(clock);
    bool over = false;
    QObject::connect(&timer, &RunTimer::timeout, [&over] { over = true; });
    timer.setSingleShot(true);
    timer.start(int(span.count()));
    while (!over)
        clock.LetEventsRun();
}

#include "RunClock.moc"
