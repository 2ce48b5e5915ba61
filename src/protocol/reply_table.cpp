#include "reply_table.h"

#include "string_table.h"

namespace kx {

ReplyAction ClassifyReply(std::uint8_t b) {
    switch (b) {
        case REPLY_NEXT:
            return ReplyAction::Next;
        case REPLY_REPEAT:
            return ReplyAction::Repeat;
        case REPLY_ERROR:
            return ReplyAction::Error;
        case REPLY_ID_MISMATCH:
            return ReplyAction::IdMismatch;
        case 0x0A:
        case 0x0D:
        case 0x20:
            return ReplyAction::Echo;
        default:
            // `(` through `Z`: punctuation, digits and upper-case letters; no lower case.
            return b >= 0x28 && b <= 0x5A ? ReplyAction::Echo : ReplyAction::Ignore;
    }
}

bool AnswersPacket(ReplyAction a) {
    return a == ReplyAction::Next || a == ReplyAction::Repeat || a == ReplyAction::Error ||
           a == ReplyAction::IdMismatch;
}

bool ReplyChangesLog(ReplyAction a) {
    return a != ReplyAction::Next && a != ReplyAction::Ignore;
}

std::string_view ReplyLogText(ReplyAction a) {
    switch (a) {
        case ReplyAction::Repeat:
            return text::kRepeat;
        case ReplyAction::Error:
            return text::kDeviceError;
        case ReplyAction::IdMismatch:
            return text::kIdMismatch;
        default:
            return {};
    }
}

}  // namespace kx
