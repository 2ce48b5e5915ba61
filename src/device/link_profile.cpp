#include "link_profile.h"

#include <algorithm>
#include <cmath>

#include "driver_binding.h"

namespace kx {

double ProfileBaud(const LinkProfile& profile) {
    // The chip's 3 MHz base clock; divisors 0 and 1 are its special 3 and 2 Mbaud.
    if (profile.divisor == 0) {
        return profile.baudRate;
    }
    return profile.divisor == 1 ? 2000000.0 : 3000000.0 / profile.divisor;
}

int ProfileFrameBits(const LinkProfile& profile) {
    const int stopBits = profile.stopBits == FT_STOP_BITS_2 ? 2 : 1;
    return 1 + profile.wordLength + (profile.parity != FT_PARITY_NONE ? 1 : 0) + stopBits;
}

std::chrono::microseconds ChipHoldTime(const LinkProfile& profile, std::size_t written) {
    const double baud = ProfileBaud(profile);
    if (baud <= 0) {
        return std::chrono::microseconds(0);
    }
    const auto bytes = static_cast<double>(std::min(written, kChipTxFifoBytes));
    const double micros = bytes * ProfileFrameBits(profile) * 1e6 / baud;
    return std::chrono::microseconds(static_cast<long long>(std::ceil(micros)));
}

bool ApplyLinkProfile(const LinkProfile& profile) {
    bool ok = DrvResetDevice() == FT_OK;
    if (profile.divisor != 0) {
        ok = DrvSetDivisor(profile.divisor) == FT_OK && ok;
    } else {
        ok = DrvSetBaudRate(profile.baudRate) == FT_OK && ok;
    }
    ok = DrvSetDataCharacteristics(profile.wordLength, profile.stopBits, profile.parity) == FT_OK &&
         ok;
    ok = DrvSetFlowControl(FT_FLOW_NONE, kXon, kXoff) == FT_OK && ok;
    ok = DrvSetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs) == FT_OK && ok;
    ok = DrvPurge(FT_PURGE_RX) == FT_OK && ok;
    return ok;
}

}  // namespace kx
