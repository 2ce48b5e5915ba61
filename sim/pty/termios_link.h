// What the host's tty settings mean on the wire: the link the device would have to match.
#pragma once

#include <asm/termbits.h>

#include "link.h"

namespace kxsim::pty {

// Speed from the termios2 rate fields (which the kernel fills for Bxxx codes too), word
// length, stop bits and parity from c_cflag.
LinkSettings LinkFromTermios(const termios2& line);

// A rate the host's line shows in place of the one the host asked for: a serial port
// between the two that only knows the standard rates (an emulator's host serial backend
// gives 460800 where its guest set 500000). Empty (from 0) maps nothing.
struct RateAlias {
    double from = 0;
    double to = 0;
    LinkSettings Apply(LinkSettings link) const {
        if (from > 0 && link.baud == from) {
            link.baud = to;
        }
        return link;
    }
};

}  // namespace kxsim::pty
