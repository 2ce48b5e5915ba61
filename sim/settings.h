// Everything about the simulated dongle that a test, a demo or a benchmark may change, and
// the "key = value" form it takes in a configuration file and in KXSIM_* variables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kxsim {

// The longest announcement delay and repeat period a dongle has.
inline constexpr double kMaxAnnounceMs = 10000.0;

struct Settings {
    std::string description = "KX Upgrade - Dongle";  // USB description, for FT_OpenEx
    std::string serial = "KX000001";                  // USB serial number, for FT_ListDevices
    std::string name = "DONGLE BOOT 1.3";             // announced as "KX " + name
    std::string id = "KX-DONGLE-2";                   // what the S0 header must carry
    std::uint32_t flashBase = 0x08000000;
    std::uint32_t flashSize = 0x10000;
    double speed = 1.0;       // 0 = unlimited
    double latencyMs = 16.0;  // the chip's latency timer after power-up and on every open
    // Bytes the chip's own transmit FIFO holds beyond the driver's queue; FT_GetStatus does
    // not count them. 0: the status counts every byte until its stop bit has left.
    unsigned txFifoBytes = 256;
    double eraseMs = 600.0;
    // The bootloader announces this long after it powers up (or restarts after an error),
    // and again every repeat period while no record has begun; both at most 10 s.
    double announceDelayMs = 100.0;
    double announceRepeatMs = 3000.0;  // 0 = announce once
    // The old timing, for tests that need a dongle heard soon after the host opens it: the
    // bootloader sleeps while the port is closed and starts afresh (announcing after the
    // delay) each time the host opens it.
    bool announceFromOpen = false;
    unsigned maxResends = 3;
    bool progressText = false;
    bool commandAck = false;  // answer 0xA9 to good records before the switch record
    // Powered on its own: an unplug only drops the USB link; the bootloader runs on and
    // does not start afresh when the port is opened again.
    bool selfPowered = false;
    double plugDelayMs = -1.0;           // < 0: plugged in from the start
    unsigned long unplugAfterBytes = 0;  // pull the plug once this many host bytes have gone
    double replugAfterMs = -1.0;  // plug in again this long after a scheduled unplug (< 0: never)
    std::string dumpPackets;      // files written when the port closes and when the process ends
    std::string dumpFlash;
    double unplugAtMs = -1.0;    // < 0: never; like plug_delay_ms, from the common start
    std::uint32_t location = 0;  // USB location id, for FT_ListDevices and FT_OpenEx
};

// Which dongle of several a value list applies to: a comma-separated value gives one
// value per dongle in order (the last one for the dongles beyond it). File paths and
// descriptions are taken whole.
struct SettingsTarget {
    Settings& settings;
    std::size_t dongle = 0;
};

// Applies one setting by its key (see README.md); false for an unknown key or a bad value.
bool ApplySetting(Settings& settings, std::string_view key, std::string_view value);
bool ApplySetting(const SettingsTarget& target, std::string_view key, std::string_view value);

// Applies a file of "key = value" lines ('#' starts a comment). Returns 0, the number of the
// first line that could not be applied, or -1 when the file cannot be read.
int LoadSettingsFile(const SettingsTarget& target, const std::string& path);

// Applies the file named by KXSIM_CONFIG, then every KXSIM_<KEY> variable over it. Returns
// what LoadSettingsFile returned (0 without a file), or -2 for a bad variable.
int LoadSettingsFromEnvironment(const SettingsTarget& target);

// The n-th item (from 0) of a comma-separated list, the last for n beyond its end.
std::string_view ListItem(std::string_view list, std::size_t n);

}  // namespace kxsim
