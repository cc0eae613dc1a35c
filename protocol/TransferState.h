#pragma once
// The one shared record of a programming run (module Module1): the frame being built, the block
// and record being read, the reply handshake and the animation step. One instance lives for the
// whole program and is handed by reference to whoever needs it; nothing here is global.

#include <QByteArray>
#include <cstdint>

// What came of a frame: of one attempt, as the judge of replies saw it, and of a whole command,
// as the command routine ended it. The Parts' own terms are derived from it: ReplyStatus (255
// for no reply and for bytes that are not this frame's reply) and CommandFailed (FailsCommand).
enum class Outcome {
    Accepted,    // the frame's own reply, status 0
    Refused,     // a reply with another status (16, 32, ...); an attempt's outcome only
    NoReply,     // nothing, or fewer than 5 bytes, within the time-out; an attempt's only
    Doubt,       // bytes came that are not this frame's reply: the frame goes again, and where
                 // they may be a reply of ours, what was confirmed before it too
    PortLost,    // the port failed and was closed; the frame may or may not have arrived
    GivenUp,     // the user chose Cancel in an error box
    FlashError,  // "Flash kann nicht programmiert werden" was shown: the command did not take
    Unbuildable, // the block cannot be put into a frame (too long, address too high): not sent
    Stopped,     // the front asked to stop before an attempt: nothing more was sent
    Bounded,     // the run reached its bound of erases, frames or time before this attempt
};

// A command that ends so has failed for its caller (CommandFailed is True).
constexpr bool FailsCommand(Outcome o) {
    return o == Outcome::GivenUp || o == Outcome::PortLost || o == Outcome::Unbuildable ||
           o == Outcome::Stopped || o == Outcome::Bounded;
}

struct TransferState {
    // Frame being built (frame builders), consumed by the frame exchange.
    int FrameByte1 = 0; // set to 250 where a run is assembled, before any frame is built
    int FrameByte2 = 0;
    int FrameCommand = 0;
    int FrameLength = 0;
    QByteArray FramePayload;
    long PayloadSum = 0;
    int FrameChecksum = 0;
    int AddressHigh = 0;
    int AddressMiddle = 0;
    int AddressLow = 0;

    // Block and record being read.
    std::int64_t BlockAddress = 0;
    QByteArray BlockData;
    long BlockSum = 0;
    QByteArray RecordData;
    long RecordSum = 0;
    std::int64_t RecordAddress = 0;

    // Exchange and outcome.
    int ReplyLength = 0;
    int ReplyPending = 0;
    QByteArray ReplyData;
    int ReplyStatus = 0;
    bool CommandFailed = false;
    Outcome LastOutcome = Outcome::Accepted; // of the last command; CommandFailed follows it

    // Status display.
    int AnimationStep = 0;
};
