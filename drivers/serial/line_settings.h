// The D2XX line settings expressed in the kernel's termios (the termios2 form, which also
// carries arbitrary rates). Pure functions on the structure; SerialPort applies them.
#pragma once

#include <asm/termbits.h>

#include "d2xx_api.h"

namespace kxserial {

// D2XX status for a setting the kernel's serial port cannot carry out.
inline constexpr FT_STATUS kNotSupported = 17;  // FT_NOT_SUPPORTED

// Raw 8N1 at 9600 baud without flow control, as an FTDI chip comes out of reset: no echo,
// no line editing, no character translation, modem lines ignored for opening.
void MakeRaw(termios2& t);

// Standard rates through their Bxxx code, every other rate through BOTHER; input and
// output speed alike. FT_INVALID_BAUD_RATE for 0.
FT_STATUS SetSpeed(termios2& t, ULONG baud);

// Word length 7 or 8, FT_STOP_BITS_1 or _2, FT_PARITY_NONE .. FT_PARITY_SPACE.
FT_STATUS SetDataCharacteristics(termios2& t, UCHAR bits, UCHAR stop, UCHAR parity);

// FT_FLOW_NONE, _RTS_CTS or _XON_XOFF; the XON and XOFF characters are kept whatever the
// mode. The kernel has no DTR/DSR handshake: kNotSupported.
FT_STATUS SetFlowControl(termios2& t, USHORT mode, UCHAR xon, UCHAR xoff);

// What the driver made of `asked` (read back after setting it): FT_OK when it took every
// setting these functions touch, FT_INVALID_BAUD_RATE when it runs at another rate (more
// than 3 % off: the kernel's FTDI driver falls back to 9600 for a rate its chip cannot
// make), kNotSupported when it changed the frame or the flow control (a driver may keep
// only the word lengths or parities its device has).
FT_STATUS CompareTaken(const termios2& asked, const termios2& taken);

}  // namespace kxserial
