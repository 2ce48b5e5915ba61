// A device that answers at once and costs nothing: put straight into the entry-point
// table, it leaves only the host's own work to measure. It announces itself when opened,
// answers the switch record once the host has moved to the bulk link and every bulk
// packet with 0xA9, and takes any bytes the benchmark wants the host to receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kx::bench {

// Replaces the bound driver's entries with the instant device's.
void InstallInstantDongle();
// Bytes for the host's receive queue, as if the device had sent them.
void InstantSend(std::string_view bytes);
std::size_t InstantPending();
// While held the device takes nothing off the line: the transmit queue stays full, so a
// transfer waits in its first stage and only what InstantSend gives arrives.
void InstantHold(bool hold);
// Firmware bytes the host has written so far.
std::uint64_t InstantBytesWritten();

}  // namespace kx::bench
