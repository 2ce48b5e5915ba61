// An in-process stand-in for the driver, put straight into the entry-point table: the
// harness decides what the device has sent and sees every packet the dialog writes.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kx::fuzz {

struct FakeDongle {
    std::deque<std::uint8_t> received;  // sent by the device, not yet read by the host
    std::vector<std::string> writes;    // every FT_Write, in order
    std::uint32_t txQueue = 0;          // bytes written and not yet on the wire
    bool failNextStatus = false;        // the device is pulled out before the next query
    bool failNextRead = false;          // the next read returns FT_IO_ERROR with no byte
    bool open = false;
    unsigned readsWithNothingPending = 0;
};

extern FakeDongle g_fake;

// Fills g_driver with the fake's entry points and marks the driver loaded.
void InstallFakeDriver();

}  // namespace kx::fuzz
