#pragma once
// What the command routine tells whoever shows a run: the window, or the command line.

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
};
