// FTDI rate arithmetic: what FT_SetDivisor's value means, and which rates the kernel has
// a speed constant for.
#pragma once

namespace kxserial {

inline constexpr unsigned kBaseClock = 3000000;

// The rate an FTDI chip runs at for a divisor value as FT_SetDivisor takes it: the integer
// part in bits 0..13 and a fraction code in bits 14..15 (0, 1/2, 1/4, 1/8). Integer parts 0
// and 1 are the chip's special cases, 3 000 000 and 2 000 000 baud, and take no fraction.
// Returns 0 for a value the chip does not accept.
unsigned RateForDivisor(unsigned short divisor);

// The kernel's Bxxx code for `baud`, or 0 when it has none and the rate must go through
// BOTHER. (B0 is never returned: rate 0 means hang-up, not a speed.)
unsigned StandardSpeedCode(unsigned baud);

}  // namespace kxserial
