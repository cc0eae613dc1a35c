#pragma once
// The one shared record of a programming run (module Module1): the frame being built, the block
// and record being read, the reply handshake and the animation step. One instance lives for the
// whole program and is handed by reference to whoever needs it; nothing here is global.

#include <QByteArray>
#include <cstdint>

// How the last command ended, as the command routine saw it (only the protocol writes it).
// CommandFailed alone cannot tell a flash error from success.
enum class CommandOutcome {
    Accepted,   // the instrument took the command
    GivenUp,    // the user chose Cancel in an error box (CommandFailed is True)
    FlashError, // "Flash kann nicht programmiert werden" was shown: the command did not take
    Refused,    // the frame could not be built (block too long or address too high); nothing sent
    Doubt,      // a byte nobody can explain came: an earlier reply may belong to another frame
    PortLost,   // the port failed and was closed; the frame may or may not have arrived
    Stopped,    // the front asked to stop before an attempt: nothing more was sent
};

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
    CommandOutcome LastOutcome = CommandOutcome::Accepted;

    // Status display.
    int AnimationStep = 0;
};
