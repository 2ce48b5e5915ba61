// How the transfer stands and why the last one ended early, as values: front ends and
// the command-line flasher decide on these, never on the transfer line's text.
#pragma once

#include <string>

namespace kx {

enum class TransferState {
    Idle,        // no transfer since the window opened
    InProgress,  // running, or held while the dongle is away
    Completed,
    Aborted,
    Refused,  // the file chosen last failed its check: nothing of it was sent
};

enum class AbortCause {
    None,
    DeviceError,          // the dongle replied ERROR
    IdMismatch,           // the file's id is not the dongle's
    RestartLimit,         // the dongle restarted once more than allowed
    NoReplyToLastPacket,  // back without a word after the last packet
    NoAnswerAfterReturn,  // back without a word in the middle of the file
    FileUnreadable,       // the file could not be turned into packets
    GivenUp,              // the front end ended a transfer that stopped moving
};

struct TransferOutcome {
    TransferState state = TransferState::Idle;
    AbortCause cause = AbortCause::None;
    // The line the abort wrote to the log, or the refused file's first problem
    // ("PATH:LINE: problem"); empty otherwise.
    std::string reason;
};

}  // namespace kx
