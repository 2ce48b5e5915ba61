// The two settings of the serial link: the command profile in which the bootloader
// talks after power-up, and the bulk profile it moves to after the switch record.
#pragma once

#include <chrono>
#include <cstddef>

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
// The chip's latency timer while the tool holds the device: the lowest value every FTDI
// chip takes. A lone reply byte waits this long in the chip instead of the default 16 ms.
inline constexpr UCHAR kLowLatencyMs = 2;
// The chip's own latency timer, where the driver cannot lower it.
inline constexpr UCHAR kChipLatencyMs = 16;

inline constexpr LinkProfile kCommandProfile{kCommandBaudRate, 0, FT_BITS_8, FT_STOP_BITS_1,
                                             FT_PARITY_NONE};
inline constexpr LinkProfile kBulkProfile{0, kBulkDivisor, FT_BITS_8, FT_STOP_BITS_2,
                                          FT_PARITY_NONE};

// The largest transmit FIFO of the FTDI chips the dongle is built with. The driver's
// transmit count leaves these bytes out: they are in the chip, not in the driver's queue.
inline constexpr std::size_t kChipTxFifoBytes = 512;

// The line's speed and frame length under `profile`.
double ProfileBaud(const LinkProfile& profile);
int ProfileFrameBits(const LinkProfile& profile);

// How long the chip may still be sending once the driver's queue is empty, when `written`
// bytes went out on `profile` since the queue was last empty: the bytes its FIFO can hold,
// never more than were written, each one frame at the profile's rate.
std::chrono::microseconds ChipHoldTime(const LinkProfile& profile, std::size_t written);

// Resets the device and sets speed, word length, flow control and time-outs, then
// discards what the device sent before: in this order, every call made. True when every
// call succeeded; a link half set is not the profile.
bool ApplyLinkProfile(const LinkProfile& profile);

}  // namespace kx
