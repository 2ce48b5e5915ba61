#include "line_settings.h"

#include "baud_rate.h"

namespace kxserial {

void MakeRaw(termios2& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    // The port reads without blocking and waits with poll() and its own time-out. VMIN 1
    // makes an empty queue answer EAGAIN, so that a read of 0 bytes means hang-up only.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    SetSpeed(t, 9600);
}

FT_STATUS SetSpeed(termios2& t, ULONG baud) {
    if (baud == 0) {
        return FT_INVALID_BAUD_RATE;
    }
    const unsigned code = StandardSpeedCode(baud);
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= code != 0 ? code : BOTHER;
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return FT_OK;
}

FT_STATUS SetDataCharacteristics(termios2& t, UCHAR bits, UCHAR stop, UCHAR parity) {
    if ((bits != FT_BITS_7 && bits != FT_BITS_8) ||
        (stop != FT_STOP_BITS_1 && stop != FT_STOP_BITS_2) || parity > FT_PARITY_SPACE) {
        return FT_INVALID_PARAMETER;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    t.c_cflag |= bits == FT_BITS_7 ? CS7 : CS8;
    if (stop == FT_STOP_BITS_2) {
        t.c_cflag |= CSTOPB;
    }
    switch (parity) {
        case FT_PARITY_ODD:
            t.c_cflag |= PARENB | PARODD;
            break;
        case FT_PARITY_EVEN:
            t.c_cflag |= PARENB;
            break;
        case FT_PARITY_MARK:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case FT_PARITY_SPACE:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    return FT_OK;
}

FT_STATUS SetFlowControl(termios2& t, USHORT mode, UCHAR xon, UCHAR xoff) {
    if (mode == FT_FLOW_DTR_DSR) {
        return kNotSupported;
    }
    if (mode != FT_FLOW_NONE && mode != FT_FLOW_RTS_CTS && mode != FT_FLOW_XON_XOFF) {
        return FT_INVALID_PARAMETER;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (mode == FT_FLOW_RTS_CTS) {
        t.c_cflag |= CRTSCTS;
    } else if (mode == FT_FLOW_XON_XOFF) {
        t.c_iflag |= IXON | IXOFF;
    }
    t.c_cc[VSTART] = xon;
    t.c_cc[VSTOP] = xoff;
    return FT_OK;
}

FT_STATUS CompareTaken(const termios2& asked, const termios2& taken) {
    auto rateTaken = [](speed_t want, speed_t got) {
        const double ratio = static_cast<double>(got) / static_cast<double>(want);
        return want == 0 || (ratio > 0.97 && ratio < 1.03);
    };
    if (!rateTaken(asked.c_ospeed, taken.c_ospeed) || !rateTaken(asked.c_ispeed, taken.c_ispeed)) {
        return FT_INVALID_BAUD_RATE;
    }
    constexpr tcflag_t kFrame = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
    constexpr tcflag_t kSoftwareFlow = IXON | IXOFF;
    if ((asked.c_cflag & kFrame) != (taken.c_cflag & kFrame) ||
        (asked.c_iflag & kSoftwareFlow) != (taken.c_iflag & kSoftwareFlow)) {
        return kNotSupported;
    }
    return FT_OK;
}

}  // namespace kxserial
