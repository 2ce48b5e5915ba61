// An in-process driver put straight into the entry-point table: a scripted receive queue,
// a transmit queue the test controls, every write recorded, and faults on demand. Poll-pass
// tests and the reply interpreter's fuzz target script it directly; a device model (the
// benchmarks' instant dongle) sits on top of it through its hooks.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "device/driver_binding.h"

namespace kx::test {

struct FakeDevice {
    std::deque<std::uint8_t> rx;      // sent by the device, not yet read by the host
    std::vector<std::string> writes;  // every FT_Write, in order
    DWORD tx = 0;                     // bytes in the transmit queue
    bool writesQueue = false;         // each write adds its bytes to tx
    // How tx shrinks at every status query, as if the line carried bytes away meanwhile.
    enum class Drain { ByOne, Halve } drain = Drain::ByOne;
    DWORD stuckTx = 0;              // once set, the queue holds this many bytes for ever
    bool stickAtNextWrite = false;  // from the next write on, its bytes stay queued for ever
    int reads = 0;
    // Reads that fail while the status still reports a waiting byte.
    int failingReads = 0;
    FT_STATUS failingStatus = FT_IO_ERROR;
    // A stale byte the driver leaves in the buffer of a read that delivers nothing.
    std::uint8_t staleByte = 0xC8;
    // The device is pulled out before the next status query: that query and every call
    // on the handle fail until it is opened again.
    bool failNextStatus = false;
    bool open = false;
    unsigned readsWithNothingPending = 0;

    // A device model's hooks, called after the fake has done its part.
    std::function<void()> onOpen;
    std::function<void(std::string_view bytes)> onWrite;
    std::function<void(ULONG mask)> onPurge;
    std::function<void(bool bulk)> onSpeed;  // FT_SetDivisor (bulk) or FT_SetBaudRate
};

FakeDevice& Fake();
// Empties the fake: every field as a new fake has it. Assigned from a new fake rather
// than built afresh, so that the queues keep their storage: the reply interpreter's fuzz
// target empties the fake for every input, and under AddressSanitizer every new block costs.
void ResetFakeDevice();
// Fills g_driver with the fake's entry points, empties the fake and marks the driver loaded.
void InstallFakeDriver();

}  // namespace kx::test
