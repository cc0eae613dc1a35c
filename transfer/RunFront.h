#pragma once
// What a programming run tells whoever shows it, the window or the command line; what it asks
// goes through the message boxes.

#include "protocol/CommandFront.h"

// How a run ended.
enum class RunOutcome {
    None,          // no run yet
    NothingSent,   // refused before the start command: no port, no file, a damaged image
    StartGivenUp,  // the user gave the start command up
    Aborted,       // ended after the start command without the instrument confirming everything
    Unconfirmed,   // every block confirmed, the end sent, but its confirmation could not be had
    TalksAfterEnd, // as Unconfirmed: after a full pass again, the instrument spoke after the end
    Interrupted,   // stopped at a frame boundary because the front asked for it
    Completed,     // the instrument confirmed every frame, each with its own reply
};

class RunFront : public CommandFront {
public:
    // The run holds the port (true) or has let it go (false): what would disturb it is locked
    // meanwhile.
    virtual void portHeld(bool held) = 0;
    // line of total lines of the image are through; 0 when the run is over.
    virtual void progress(int line, int total) = 0;
    // The run is over (before the box that may say why, and before the port is let go).
    virtual void ended(RunOutcome outcome) = 0;
    // Asked before every frame: true ends the run there.
    virtual bool stopRequested() const { return false; }
};
