#include "protocol/RunBound.h"

RunBound::Limits RunBound::For(const QList<Planned> &planned) {
    Limits l;
    l.frames = std::max(MinFrames, Tries * int(planned.size()));
    for (const Planned &p : planned)
        l.time += (p.crossing + p.timeout) * Tries;
    l.time += Allowance;
    return l;
}

RunBound::Reached RunBound::reached(RunClock::time_point now, bool start) const {
    if (limits_.frames == 0) return Reached::No;
    if (start && erases_ >= Erases) return Reached::Erases;
    if (frames_ >= limits_.frames) return Reached::Frames;
    if (now - began_ >= limits_.time) return Reached::Time;
    return Reached::No;
}
