#pragma once
// What the command routine tells whoever shows a run: the window, or the command line.

#include <QByteArray>
#include <QtGlobal>
#include <chrono>
#include <cstdint>

class CommandFront {
public:
    CommandFront() = default;
    virtual ~CommandFront() = default;
    CommandFront(const CommandFront &) = delete;
    CommandFront &operator=(const CommandFront &) = delete;

    // The start command is being tried (on); a block goes out, or the instrument is reported
    // silent (off).
    virtual void contact(bool on) = 0;
    // The instrument does not answer: true while the box that says so is open.
    virtual void noReply(bool shown) = 0;
    // A start frame has gone out: from now on the flash may be erased.
    virtual void startSent() = 0;
    // A command (1 start, 2 data, 3 end) begins for frame `frame` of the run (0 the start, then
    // the blocks, the end last): a frame sent again by a repair is the same command.
    virtual void commandBegins(int command, int frame) {
        Q_UNUSED(command);
        Q_UNUSED(frame);
    }
    // A person answers the questions: each answer begins a new bound for the run, and at the
    // bound the run asks whether to go on. Otherwise (a policy answers) the run gives up there.
    virtual bool personAnswers() const { return true; }
    // Asked before every attempt: true ends the command, and the run, there.
    virtual bool stopRequested() const { return false; }

    // What goes over the line, for a traffic view; nothing by default. A frame for the command
    // (1 start, 2 data, 3 end) went out, with its address and data bytes for a block.
    virtual void frameSent(int command, std::int64_t address, int dataBytes) {
        Q_UNUSED(command);
        Q_UNUSED(address);
        Q_UNUSED(dataBytes);
    }
    // The attempt's reply (the bytes taken, possibly none), its status, how long after the frame
    // it came, the instrument's turnaround (that time less the line's, 0 for a start) and, when
    // it is in doubt, why.
    virtual void replyJudged(const QByteArray &bytes, int status, std::chrono::nanoseconds after,
                             std::chrono::nanoseconds turnaround, const char *doubt) {
        Q_UNUSED(bytes);
        Q_UNUSED(status);
        Q_UNUSED(after);
        Q_UNUSED(turnaround);
        Q_UNUSED(doubt);
    }
    // What the instrument said after the end's reply, taken as its own affair: it has left
    // programming (a byte as it resets, a greeting of the new firmware).
    virtual void saidAfterEnd(const QByteArray &bytes) { Q_UNUSED(bytes); }
    // The line settled: what was dropped, and how long it took.
    virtual void settled(const QByteArray &dropped, std::chrono::milliseconds took) {
        Q_UNUSED(dropped);
        Q_UNUSED(took);
    }
};
