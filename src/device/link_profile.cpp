#include "link_profile.h"

#include "driver_binding.h"

namespace kx {

void ApplyLinkProfile(const LinkProfile& profile) {
    DrvResetDevice();
    if (profile.divisor != 0) {
        DrvSetDivisor(profile.divisor);
    } else {
        DrvSetBaudRate(profile.baudRate);
    }
    DrvSetDataCharacteristics(profile.wordLength, profile.stopBits, profile.parity);
    DrvSetFlowControl(FT_FLOW_NONE, kXon, kXoff);
    DrvSetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs);
    DrvPurge(FT_PURGE_RX);
}

}  // namespace kx
