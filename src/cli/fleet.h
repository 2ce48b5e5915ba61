// kxupgrade --all and --station: one child kxupgrade per dongle, opened by its location,
// its events read back as JSON lines. The parent shows one progress line per dongle on a
// terminal (state-change lines otherwise), passes the events on with --json, appends each
// finished dongle to the record, and ends --all with a table.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/dongle_choice.h"

namespace kx::cli {

struct FleetJob {
    bool station = false;  // --station; --all otherwise
    std::string file;
    // Given to every dongle's flasher: the options that govern a transfer (--wait, ...).
    std::vector<std::string> transferArgs;
    bool json = false;
    std::string record;  // empty: none
    std::string self;    // the kxupgrade to start for each dongle
    // The dongles connected now.
    std::function<std::vector<ListedDongle>()> list;
};

struct FleetOutput {
    std::function<void(std::string_view)> out;  // lines, the table, JSON
    std::function<void(std::string_view)> bar;  // the progress lines; empty when not a terminal
    std::function<void(std::string_view)> err;
};

// One dongle's run as the parent follows it.
struct DongleRun {
    ListedDongle dongle;
    std::string state = "starting";
    std::string name;
    std::string sha256;  // of the bytes its flasher sent from
    std::uint32_t bytes = 0;
    std::uint32_t total = 0;
    bool started = false;
    bool finished = false;
    std::string result;
    std::string reason;
    double duration = 0;
    int restarts = 0;
    int exit = -1;
};

// Applies one event line of the dongle's child; false when it is not one.
bool ApplyEvent(DongleRun& run, std::string_view line);

// The table --all ends with: serial, announced name, result, reason, time.
std::string ResultTable(const std::vector<DongleRun>& runs);

// The command that flashes just these dongles again (by serial number), with the job's
// transfer options, record and file.
std::string RetryCommand(const FleetJob& job, const std::vector<std::string>& serials);

// Returns the exit status (exit_codes.h).
int RunFleet(const FleetJob& job, const FleetOutput& output, const std::atomic<bool>* stop);

}  // namespace kx::cli
