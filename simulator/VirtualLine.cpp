#include "simulator/VirtualLine.h"

#include <QCoreApplication>
#include <memory>

namespace {
// A timer of the simulated clock: each start arranges a tick, and a tick arranged before the
// last start or stop, or for a timer that is gone, does nothing.
class VirtualTimerEngine : public TimerEngine {
    struct State {
        RunTimer *owner;
        std::chrono::milliseconds interval{};
        bool singleShot = false, active = false;
        std::uint64_t generation = 0;
    };

public:
    VirtualTimerEngine(VirtualTime &time, RunTimer &owner)
        : time_(time), state_(std::make_shared<State>(State{&owner})) {}
    ~VirtualTimerEngine() override {
        state_->owner = nullptr;
        ++state_->generation;
    }
    void start(std::chrono::milliseconds interval, bool singleShot) override {
        state_->interval = std::max(interval, std::chrono::milliseconds(0));
        state_->singleShot = singleShot;
        state_->active = true;
        arrange(time_, state_, ++state_->generation);
    }
    void stop() override {
        state_->active = false;
        ++state_->generation;
    }
    bool isActive() const override { return state_->active; }

private:
    static void arrange(VirtualTime &time, const std::shared_ptr<State> &state,
                        std::uint64_t generation) {
        time.at(time.now() + state->interval, [&time, state, generation] {
            if (generation != state->generation || !state->active || !state->owner) return false;
            if (state->singleShot)
                state->active = false;
            else
                arrange(time, state, generation);
            emit state->owner->timeout();
            return true;
        });
    }

    VirtualTime &time_;
    std::shared_ptr<State> state_;
};
} // namespace

VirtualTime::VirtualTime() {
    // Far from the clock's zero, which the run takes for "never".
    start_ = now_ = time_point{} + std::chrono::hours(1);
    limit_ = now_ + std::chrono::hours(24);
}

void VirtualTime::at(time_point when, std::function<bool()> what) {
    events_.push({std::max(when, now_), order_++, std::move(what)});
}

bool VirtualTime::runNext(time_point notAfter) {
    while (!events_.empty() && events_.top().when <= notAfter) {
        Event e = std::move(const_cast<Event &>(events_.top()));
        events_.pop();
        if (e.when > limit_) throw Stuck("waits past the limit of simulated time");
        now_ = std::max(now_, e.when);
        if (e.what()) return true;
    }
    return false;
}

void VirtualTime::LetEventsRun() {
    if (alsoQt_) QCoreApplication::processEvents();
    if (!runNext(time_point::max()))
        throw Stuck("waits, and nothing is left to happen");
}

void VirtualTime::pass(std::chrono::nanoseconds span) {
    bool over = false;
    at(now_ + span, [&over] { return over = true; });
    while (!over)
        LetEventsRun();
}

void VirtualTime::LetPendingEventsRun() {
    if (alsoQt_) QCoreApplication::processEvents();
    while (runNext(now_)) {
    }
}

std::unique_ptr<TimerEngine> VirtualTime::makeEngine(RunTimer &owner) {
    return std::make_unique<VirtualTimerEngine>(*this, owner);
}

VirtualComm::VirtualComm(VirtualTime &time, q7310sim::Instrument &instrument, QObject *parent)
    : SerialComm(parent), time_(time), instrument_(instrument) {}

QString VirtualComm::deviceName() const {
    return device;
}

bool VirtualComm::setPortOpen(bool open) {
    if (!open) {
        open_ = false;
        return true;
    }
    if (open_) return true;
    openError_.clear();
    failure_.clear();
    openProblem_ = OpenProblem::None;
    if (gone_) {
        openError_ = QStringLiteral("Gerät nicht vorhanden");
        openProblem_ = OpenProblem::Missing;
        return false;
    }
    open_ = true;
    received_.clear();
    stalls_.unseen.clear();
    arrange();
    return true;
}

void VirtualComm::Output(const QByteArray &bytes) {
    if (!open_) return;
    instrument_.receive(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                        std::size_t(bytes.size()), unstalled(time_.now()));
    arrange();
}

void VirtualComm::hiccups(double everyMs, double loMs, double hiMs, unsigned seed) {
    stalls_.everyMs = everyMs;
    stalls_.loMs = loMs;
    stalls_.hiMs = hiMs;
    stalls_.rng.seed(seed);
    stalls_.from = stalls_.to = time_.now();
}

RunClock::time_point VirtualComm::unstalled(RunClock::time_point at) {
    if (stalls_.everyMs <= 0) return at;
    auto draw = [this](double lo, double hi) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double, std::milli>(
                std::uniform_real_distribution<double>(lo, hi)(stalls_.rng)));
    };
    while (at >= stalls_.to) {
        stalls_.from = stalls_.to + draw(stalls_.everyMs / 2, stalls_.everyMs * 3 / 2);
        stalls_.to = stalls_.from + draw(stalls_.loMs, stalls_.hiMs);
    }
    return at >= stalls_.from ? stalls_.to : at;
}

QByteArray VirtualComm::Input() {
    QByteArray taken;
    taken.swap(received_);
    return taken;
}

void VirtualComm::replug() {
    gone_ = false;
    instrument_.replug();
}

void VirtualComm::arrange() {
    const RunClock::time_point next = instrument_.nextEvent();
    if (next == RunClock::time_point::max() || next >= pumpAt_) return;
    pumpAt_ = next;
    time_.at(next, [this, next] {
        if (next != pumpAt_) return false; // an earlier one took its place
        pumpAt_ = RunClock::time_point::max();
        pump();
        return true;
    });
}

void VirtualComm::pump() {
    const RunClock::time_point now = time_.now();
    reached_.clear();
    instrument_.advance(now, reached_);
    if (instrument_.hungUp(now) && !gone_) {
        gone_ = true;
        if (open_) {
            open_ = false;
            failure_ = QStringLiteral("Eingabe-/Ausgabefehler");
            emit Failed(failure_);
        }
        return;
    }
    arrange();
    if (!open_ || reached_.empty()) return; // a closed port hears nothing
    stalls_.unseen.append(reinterpret_cast<const char *>(reached_.data()),
                          qsizetype(reached_.size()));
    const RunClock::time_point seen = unstalled(now);
    if (seen > now) {
        // The host is stalled: it sees what came when the stall is over.
        if (!stalls_.flushing) {
            stalls_.flushing = true;
            time_.at(seen, [this] {
                stalls_.flushing = false;
                if (open_ && !stalls_.unseen.isEmpty()) {
                    received_ += std::exchange(stalls_.unseen, QByteArray());
                    if (RThreshold > 0) emit OnComm();
                }
                return true;
            });
        }
        return;
    }
    received_ += std::exchange(stalls_.unseen, QByteArray());
    if (RThreshold > 0) emit OnComm();
}
