// An in-process driver for poll-pass tests: the entry-point table points at functions
// that serve a scripted receive queue and record what is written.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "device/driver_binding.h"

namespace kx::test {

struct FakeDevice {
    std::deque<std::uint8_t> rx;
    std::vector<std::string> writes;
    DWORD tx = 0;                   // falls by one at every status query
    DWORD stuckTx = 0;              // once set, the queue holds this many bytes for ever
    bool stickAtNextWrite = false;  // the next write's bytes stay queued for ever
    int reads = 0;
    // Reads that fail while the status still reports a waiting byte.
    int failingReads = 0;
    FT_STATUS failingStatus = FT_IO_ERROR;
    // A stale byte the driver leaves in the buffer of a read that delivers nothing.
    std::uint8_t staleByte = 0xC8;
};

FakeDevice& Fake();
// Fills g_driver with the fake's entry points and empties the fake.
void InstallFakeDriver();

}  // namespace kx::test
