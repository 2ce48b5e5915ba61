// One end of the serial line, and what a receiver makes of a frame sent with other settings.
#pragma once

#include <cstdint>

namespace kxsim {

struct LinkSettings {
    double baud = 9600.0;
    int wordLength = 8;  // 7 or 8
    int stopBits = 1;    // 1 or 2
    int parity = 0;      // FT_PARITY_NONE .. FT_PARITY_SPACE

    bool operator==(const LinkSettings&) const = default;
};

// 38400 8N1: the bootloader's link after power-up and after every restart.
LinkSettings CommandLink();
// 3 MHz / 6 = 500000 baud, 8 data bits, 2 stop bits: the link after the switch record.
LinkSettings BulkLink();

// Start bit + data bits + parity bit + stop bits.
int FrameBits(const LinkSettings& link);
double FrameSeconds(const LinkSettings& link);

// What a receiver delivers for a frame that had a framing or parity error.
constexpr std::uint8_t kLineErrorByte = 0x00;

// The byte a receiver set to `rx` delivers for `byte` framed by a sender set to `tx`. The
// receiver samples each bit in its middle and checks only the first stop bit (so a sender's
// extra stop bit is harmless); the line idles high after the frame.
std::uint8_t Receive(std::uint8_t byte, const LinkSettings& tx, const LinkSettings& rx);

}  // namespace kxsim
