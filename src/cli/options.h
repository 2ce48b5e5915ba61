// The command line: kxupgrade [--wait SECONDS] FILE.dat, kxupgrade --check FILE.dat, or
// --help.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::cli {

struct Options {
    enum class Action { Flash, Check, Help, Invalid };
    Action action = Action::Invalid;
    std::string file;
    // How long to wait for the dongle's announcement; none: for ever.
    std::optional<std::chrono::milliseconds> wait;
    std::string error;  // why the line is invalid
};

Options ParseOptions(const std::vector<std::string_view>& args);

// The --help text.
std::string HelpText(std::string_view program);

}  // namespace kx::cli
