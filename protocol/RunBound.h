#pragma once
// How far a run may go before the user has a say, so that every run ends within a stated bound:
//  - erases: at most 3 start frames since the user was last asked anything;
//  - frames: at most 4 times the frames the image plans (64 at the least);
//  - time: at most 4 tries of every planned frame, each its time on the line and its time-out,
//    and a minute for settling a troubled line.
// At the bound the window asks, and going on begins a new bound, as any answer of its user does;
// the command line gives up there, its answers (--retries) counting only for the erases.
// The bound is checked before every attempt, so it is passed by at most one attempt.

#include "protocol/RunClock.h"

#include <QList>
#include <chrono>

class RunBound {
public:
    using ns = std::chrono::nanoseconds;
    static constexpr int Erases = 3;
    static constexpr int Tries = 4;
    static constexpr int MinFrames = 64;
    static constexpr std::chrono::seconds Allowance{60};

    struct Limits {
        int frames = 0; // 0: no bound
        ns time{};
    };
    // planned: each planned frame's time on the line with its reply, and its time-out.
    struct Planned {
        ns crossing;
        ns timeout;
    };
    static Limits For(const QList<Planned> &planned);

    enum class Reached { No, Erases, Frames, Time };

    RunBound() = default; // no bound
    RunBound(Limits limits, RunClock::time_point began) : limits_(limits), began_(began) {}

    void frameSent(bool start) {
        ++frames_;
        if (start) ++erases_;
    }
    // The user was asked: the erases since are counted anew.
    void userAsked() { erases_ = 0; }
    // Whether the next attempt, a start or not, would go beyond the bound.
    Reached reached(RunClock::time_point now, bool start) const;
    const Limits &limits() const { return limits_; }
    int frames() const { return frames_; }
    int erases() const { return erases_; }

private:
    Limits limits_;
    RunClock::time_point began_{};
    int frames_ = 0, erases_ = 0;
};
