#include "termios_link.h"

#include "d2xx_api.h"

namespace kxsim::pty {

LinkSettings LinkFromTermios(const termios2& line) {
    LinkSettings link;
    link.baud = static_cast<double>(line.c_ospeed);
    link.wordLength = (line.c_cflag & CSIZE) == CS7 ? 7 : 8;
    link.stopBits = (line.c_cflag & CSTOPB) != 0 ? 2 : 1;
    link.parity = FT_PARITY_NONE;
    if ((line.c_cflag & PARENB) != 0) {
        const bool odd = (line.c_cflag & PARODD) != 0;
        if ((line.c_cflag & CMSPAR) != 0) {
            link.parity = odd ? FT_PARITY_MARK : FT_PARITY_SPACE;
        } else {
            link.parity = odd ? FT_PARITY_ODD : FT_PARITY_EVEN;
        }
    }
    return link;
}

}  // namespace kxsim::pty
