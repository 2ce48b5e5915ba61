// The device's one-byte replies during a transfer.
#pragma once

#include <cstdint>
#include <string_view>

namespace kx {

inline constexpr std::uint8_t REPLY_NEXT = 0xA9, REPLY_REPEAT = 0xB6, REPLY_ERROR = 0xC8,
                              REPLY_ID_MISMATCH = 0xD5;

enum class ReplyAction {
    Next,        // send the next packet
    Repeat,      // log "REPEAT", then send the packet again
    Error,       // abort, logging "ERROR"
    IdMismatch,  // abort, logging the id mismatch
    Echo,        // append the byte itself to the log
    Ignore,
};

ReplyAction ClassifyReply(std::uint8_t b);

// One of the device's answers to a packet (Next, Repeat, Error, IdMismatch): the only
// bytes that show a transfer moving. Echoed text and ignored bytes do not: a dongle heard
// at the wrong rate arrives as a stream of them.
bool AnswersPacket(ReplyAction a);

// Every reply but Next and Ignore changes the log.
bool ReplyChangesLog(ReplyAction a);

// The line Repeat, Error and IdMismatch write to the log (CR LF follows it); empty for
// the others.
std::string_view ReplyLogText(ReplyAction a);

}  // namespace kx
