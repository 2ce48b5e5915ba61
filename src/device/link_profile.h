// The two settings of the serial link: the command profile in which the bootloader
// talks after power-up, and the bulk profile it moves to after the switch record.
#pragma once

#include "d2xx_api.h"

namespace kx {

struct LinkProfile {
    ULONG baudRate;  // used when divisor is 0
    USHORT divisor;  // 3 000 000 / divisor baud; 0 = use baudRate
    UCHAR wordLength;
    UCHAR stopBits;
    UCHAR parity;
};

inline constexpr ULONG kCommandBaudRate = 38400;
inline constexpr USHORT kBulkDivisor = 6;
inline constexpr UCHAR kXon = 0x11;
inline constexpr UCHAR kXoff = 0x13;
inline constexpr ULONG kLinkTimeoutMs = 60000;

inline constexpr LinkProfile kCommandProfile{kCommandBaudRate, 0, FT_BITS_8, FT_STOP_BITS_1,
                                             FT_PARITY_NONE};
inline constexpr LinkProfile kBulkProfile{0, kBulkDivisor, FT_BITS_8, FT_STOP_BITS_2,
                                          FT_PARITY_NONE};

// Resets the device and sets speed, word length, flow control and time-outs, then
// discards what the device sent before: in this order, errors not looked at.
void ApplyLinkProfile(const LinkProfile& profile);

}  // namespace kx
