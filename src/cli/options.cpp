#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "console_platform.h"
#include "device/dongle_choice.h"
#include "device/dynamic_library.h"

namespace kx::cli {

namespace {

// A week is far beyond any flashing session and keeps the clock arithmetic safe.
constexpr double kMaxWaitSeconds = 7 * 24 * 3600.0;

std::optional<std::chrono::milliseconds> ParseSeconds(std::string_view text) {
    if (text.empty() || text.size() > 32) {
        return std::nullopt;
    }
    for (char c : text) {
        if ((c < '0' || c > '9') && c != '.') {
            return std::nullopt;  // no sign, exponent, "inf" or "nan"
        }
    }
    const std::string copy(text);
    char* end = nullptr;
    const double seconds = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(seconds) || seconds > kMaxWaitSeconds) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

Options Invalid(std::string error) {
    Options options;
    options.error = std::move(error);
    return options;
}

// The value of `--name VALUE` or `--name=VALUE` at args[i]; moves i past it.
std::optional<std::string_view> Value(const std::vector<std::string_view>& args, std::size_t& i,
                                      std::string_view name) {
    const std::string_view arg = args[i];
    if (arg == name) {
        if (i + 1 == args.size()) {
            return std::nullopt;
        }
        return args[++i];
    }
    return arg.substr(name.size() + 1);
}

bool Names(std::string_view arg, std::string_view name) {
    return arg == name ||
           (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=');
}

}  // namespace

Options ParseOptions(const std::vector<std::string_view>& args) {
    Options options;
    Options::Action mode = Options::Action::Flash;
    std::vector<std::string_view> files;
    bool optionsEnded = false;
    bool check = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            files.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            options.action = Options::Action::Help;
            return options;
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--list" || arg == "--all" || arg == "--station") {
            const Options::Action action = arg == "--list"  ? Options::Action::List
                                           : arg == "--all" ? Options::Action::All
                                                            : Options::Action::Station;
            if (mode != Options::Action::Flash && mode != action) {
                return Invalid("--list, --all and --station exclude each other");
            }
            mode = action;
        } else if (arg == "--json") {
            options.json = true;
        } else if (Names(arg, "--serial")) {
            const auto value = Value(args, i, "--serial");
            if (!value || value->empty()) {
                return Invalid("--serial needs the dongle's serial number");
            }
            options.serial = std::string(*value);
        } else if (Names(arg, "--location")) {
            const auto value = Value(args, i, "--location");
            options.location = value ? ParseLocation(std::string(*value)) : std::nullopt;
            if (!options.location) {
                return Invalid("--location takes a location id, decimal or 0x hex (see --list)");
            }
        } else if (Names(arg, "--record")) {
            const auto value = Value(args, i, "--record");
            if (!value || value->empty()) {
                return Invalid("--record needs a file name");
            }
            options.record = std::string(*value);
        } else if (Names(arg, "--wait") || Names(arg, "--timeout")) {
            const std::string name = Names(arg, "--wait") ? "--wait" : "--timeout";
            const auto given = Value(args, i, name.c_str());
            if (!given) {
                return Invalid(name + " needs a number of seconds");
            }
            const std::string_view value = *given;
            auto& target = name == "--wait" ? options.wait : options.timeout;
            target = ParseSeconds(value);
            if (!target) {
                return Invalid(name + " takes seconds from 0 to 604800, not '" +
                               std::string(value) + "'");
            }
        } else {
            return Invalid("unknown option '" + std::string(arg) + "'");
        }
    }
    if (check && (mode != Options::Action::Flash || options.serial || options.location)) {
        return Invalid("--check reads the file alone: no dongle options with it");
    }
    if (options.serial && options.location) {
        return Invalid("--serial and --location both name the dongle: give one of them");
    }
    if (mode == Options::Action::List) {
        if (!files.empty()) {
            return Invalid("--list takes no firmware file");
        }
        options.action = mode;
        return options;
    }
    if (mode != Options::Action::Flash && options.location) {
        return Invalid("--all and --station flash every dongle: no --location");
    }
    if (mode == Options::Action::Station && options.serial) {
        return Invalid("--station flashes every dongle plugged in: no --serial");
    }
    if (files.empty()) {
        return Invalid("no firmware file given");
    }
    if (files.size() > 1) {
        return Invalid("one firmware file at a time");
    }
    if (files[0].empty()) {
        return Invalid("the firmware file name is empty");
    }
    options.file = files[0];
    options.action = check ? Options::Action::Check : mode;
    return options;
}

std::vector<std::string> TransferArguments(const Options& options) {
    std::vector<std::string> args;
    const auto seconds = [&](const char* name, std::optional<std::chrono::milliseconds> value) {
        if (value) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", static_cast<double>(value->count()) / 1000.0);
            args.push_back(name);
            args.push_back(text);
        }
    };
    seconds("--wait", options.wait);
    seconds("--timeout", options.timeout);
    return args;
}

std::string HelpText(std::string_view program) {
    std::string text = "Usage: ";
    text += program;
    text += R"( [OPTIONS] FILE.dat
  or:  )";
    text += program;
    text += R"( --all [OPTIONS] FILE.dat
  or:  )";
    text += program;
    text += R"( --station [OPTIONS] FILE.dat
  or:  )";
    text += program;
    text += R"( --list
  or:  )";
    text += program;
    text += R"( --check FILE.dat

Flashes FILE.dat into the KX Upgrade dongle: checks the whole file, waits until the
dongle is connected and announces itself, sends the file, and exits when the dongle has
taken it or refused it. The file is read once, at the start: changes to it on disk after
that do not change what is sent. A file that fails the check (a record that is not a
well-formed S record, a wrong checksum or record count, two records writing different
bytes to one address, a packet too long for the dongle's buffer, no records at all) is
not sent: its first problem is printed as FILE:LINE: problem.

The link line, the transfer line and the dongle's log go to standard output as they
change; a progress bar with rate and time left goes to standard error when that is a
terminal. If the dongle drops out during the transfer, the transfer waits for it; once
it is back, a dongle that restarted (it announces itself again) is flashed again from
the first record of the file ("RESTART 1 OF 3" in the log; a fourth restart ends the
transfer with status 1), and one that did not (it answers a probe past the switch record,
or before it stays silent for 12 s, longer than any announcement period) gets the rest of
the file ("RESUME").

Without --serial or --location it opens the first dongle found by its description
"KX Upgrade - Dongle". With --all it flashes every connected dongle at once, each in a
process of its own, with one progress line per dongle and a table at the end. With
--station it keeps going until interrupted: every dongle plugged in is flashed as it
announces itself, one result line each with a running tally; a dongle that stays
plugged in after its transfer is flashed again only once it is plugged in again.

Options:
  --check             check FILE.dat only, with no dongle and no driver: print
                      every problem as FILE:LINE: problem, then the S0 header, the
                      records per type, the addresses the data covers, the image
                      size, the packets of each stage, the time the transfer takes
                      at line rate and the file's SHA-256; exit 0 if the file can
                      be sent, 5 if it cannot
  --wait SECONDS      give up when no announcement has come within SECONDS
                      (default: wait for ever)
  --timeout SECONDS   end a transfer with status 1 when it has made no progress
                      (no packet written, nothing heard from the dongle) for
                      SECONDS, for instance while the dongle stays unplugged
                      (default: wait for ever)
  --serial SN         open the dongle with serial number SN; with --all,
                      SN[,SN...] flashes only the dongles with those numbers
  --location ID       open the dongle at USB location ID (decimal or 0x hex, as
                      --list shows it), where serial numbers are not unique
  --list              list the connected dongles: serial number and location
  --all               flash every connected dongle at once
  --station           flash every dongle plugged in, until interrupted
  --json              write every event as one JSON object per line on standard
                      output instead of the text lines
  --record FILE.csv   append one line per dongle and transfer to FILE.csv: time,
                      serial, location, name, file, SHA-256 and size of the
                      bytes sent, result, reason, duration, restarts
  -h, --help          show this text

Exit status:
    0  Transfer completed (--all: on every dongle)
    1  Transfer aborted (the reason is printed; --all: on any dongle)
    2  bad usage, or FILE cannot be read
    3  no announcement from the dongle within --wait; --all: no dongle connected
    4  the driver library ()";
    text += platform::kDriverLibraryName;
    text += R"() cannot be loaded or lacks an entry point;
       )";
    text += kDriverAdvice;
    text += R"(
    5  FILE fails the check: nothing was sent (the problem is printed)
  130  interrupted ()";
    text += kStopRequests;
    text += ")\n";
    return text;
}

}  // namespace kx::cli
