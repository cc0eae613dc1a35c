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

// Why a run ended as it did, for a record a machine reads.
enum class RunReason {
    None,            // completed
    NoFile,          // no image chosen
    ImageUnreadable, // the image cannot be read
    ImageInvalid,    // the image is damaged
    PortUnavailable, // the port cannot be opened
    PortBusy,        // another process holds the port
    Permission,      // this user may not open the port
    NoReply,         // the instrument did not answer, and the user gave up
    Refused,         // it refused a frame (32 or another status), and the user gave up
    FlashError,      // "Flash kann nicht programmiert werden"
    PortLost,        // the port failed during the run, and the user gave up
    Doubt,           // the line kept casting doubt, and the user gave up
    UnconfirmedEnd,  // the end went out, but its confirmation could not be had
    TalksAfterEnd,   // the instrument spoke after the end, also after a full pass again
    Bound,           // the run reached its bound of erases, frames or time
    Interrupted,     // stopped by the front
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
    // The run goes back to frame `from` (0 the start) after a doubt: a silent repair.
    virtual void repairing(int from) { Q_UNUSED(from); }
};
