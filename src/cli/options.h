// The command line: kxupgrade [--wait SECONDS] [--timeout SECONDS] [--serial SN | --location ID]
// [--json]
// [--record FILE.csv] FILE.dat; --all or --station instead of a dongle's name; --list;
// --help; kxupgrade --check FILE.dat.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::cli {

struct Options {
    enum class Action { Flash, Check, All, Station, List, Help, Invalid };
    Action action = Action::Invalid;
    std::string file;
    std::optional<std::string> serial;      // --serial
    std::optional<std::uint32_t> location;  // --location
    bool json = false;                      // --json: events as JSON lines on stdout
    std::string record;                     // --record: the CSV file, empty for none
    // How long to wait for the dongle's announcement; none: for ever.
    std::optional<std::chrono::milliseconds> wait;
    // How long a transfer may go without progress (no packet written, no byte from the
    // dongle) before it is given up; none: for ever.
    std::optional<std::chrono::milliseconds> timeout;
    std::string error;  // why the line is invalid
};

Options ParseOptions(const std::vector<std::string_view>& args);

// The options that govern one dongle's transfer, as arguments that give them to each
// flasher --all and --station start: every such option is passed on from here.
std::vector<std::string> TransferArguments(const Options& options);

// The --help text.
std::string HelpText(std::string_view program);

}  // namespace kx::cli
