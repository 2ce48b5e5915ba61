// What the host's tty settings mean on the wire: the link the device would have to match.
#pragma once

#include <asm/termbits.h>

#include "link.h"

namespace kxsim::pty {

// Speed from the termios2 rate fields (which the kernel fills for Bxxx codes too), word
// length, stop bits and parity from c_cflag.
LinkSettings LinkFromTermios(const termios2& line);

}  // namespace kxsim::pty
