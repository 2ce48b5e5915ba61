// kxupgrade: flashes the dongle without a window; --all and --station flash many, --list
// lists them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/upgrade_dlg.h"
#include "check_report.h"
#include "console_platform.h"
#include "console_report.h"
#include "console_window.h"
#include "device/dongle_choice.h"
#include "device/driver_binding.h"
#include "device/dynamic_library.h"
#include "dongle_events.h"
#include "exit_codes.h"
#include "flash_record.h"
#include "flasher.h"
#include "fleet.h"
#include "json_line.h"
#include "options.h"
#include "sha256.h"
#include "string_table.h"

namespace {

using namespace kx::cli;

std::atomic<bool> g_stop{false};
std::atomic<bool> g_finished{false};

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void Out(std::string_view text) {
    Write(stdout, text);
}

void Err(std::string_view text) {
    Write(stderr, text);
}

// The firmware file's SHA-256 for the events and the record; empty when it cannot be read.
std::string FirmwareDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    return !in.is_open() || in.bad() ? std::string() : kx::Sha256Hex(bytes);
}

// Binds the driver for listing; false (and told on stderr) when it cannot be loaded.
bool BindForListing() {
    static kx::platform::LibraryHandle library = nullptr;
    return kx::BindDriver(kx::platform::kDriverLibraryName, library,
                          [](const std::string& text) { Err("kxupgrade: " + text + "\n"); });
}

std::vector<kx::ListedDongle> Dongles() {
    return kx::ListDongles(kx::text::kDeviceDescription);
}

int List(const Options& options) {
    if (!BindForListing()) {
        return kExitNoDriver;
    }
    for (const kx::ListedDongle& dongle : Dongles()) {
        if (options.json) {
            JsonObject line;
            line.Set("serial", dongle.serial);
            line.Set("location", static_cast<long long>(dongle.location));
            Out(line.Line() + "\n");
        } else {
            std::string serial;
            for (const char c : dongle.serial) {
                AppendPrintable(serial, static_cast<unsigned char>(c));
            }
            Out(serial + "  " + kx::FormatLocation(dongle.location) + "\n");
        }
    }
    return kExitCompleted;
}

// Which listed dongle the run has: by its location or serial number when given, else the
// only one (the first when there are several).
DongleIdentity Identify(const Options& options) {
    DongleIdentity identity{options.serial.value_or(""), options.location};
    for (const kx::ListedDongle& dongle : Dongles()) {
        const bool match = options.location ? dongle.location == *options.location
                           : options.serial ? dongle.serial == *options.serial
                                            : true;
        if (match) {
            identity.serial = dongle.serial;
            identity.location = dongle.location;
            break;
        }
    }
    return identity;
}

// The reason of the last error line: "kxupgrade: Transfer aborted: X" gives "X".
std::string Reason(std::string_view message) {
    for (std::string_view prefix : {"kxupgrade: ", "Transfer aborted: "}) {
        if (message.starts_with(prefix)) {
            message.remove_prefix(prefix.size());
        }
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    return std::string(message);
}

int FlashOne(const Options& options) {
    kx::ChooseDongle(kx::DongleChoice{options.serial, options.location});
    const std::string sha256 =
        options.json || !options.record.empty() ? FirmwareDigest(options.file) : "";
    // With --json the standard output carries the events alone.
    const ConsoleReport::Sink out =
        options.json ? ConsoleReport::Sink([](std::string_view) {}) : ConsoleReport::Sink(Out);
    const bool bar = !options.json && TerminalWithEscapes(stderr);
    ConsoleReport report(out, bar ? ConsoleReport::Sink(Err) : ConsoleReport::Sink());
    DongleEvents events(Out, DongleIdentity{options.serial.value_or(""), options.location},
                        options.file, sha256);
    events.identify = [&options] { return Identify(options); };
    ConsoleWindow window(report, options.json ? &events : nullptr);
    const std::thread::id mainThread = std::this_thread::get_id();
    std::string lastError;
    const auto errors = [&](std::string_view text) {
        // A message box may come from the poll thread, which must not touch the report.
        if (std::this_thread::get_id() == mainThread) {
            report.Finish();
            lastError = Reason(text);
        }
        Err(text);
    };
    std::string name;
    FlashJob job{options.file, options.wait, nullptr, {}, options.timeout};
    job.announced = [&](const std::string& announced) {
        name = announced;
        if (options.json) {
            events.Announced(announced);
        }
    };
    const auto begun = std::chrono::steady_clock::now();
    const int status = RunFlashJob(job, window, errors, &g_stop);
    report.Finish();
    if (options.json) {
        events.Finished(status, status == kExitCompleted ? "" : lastError);
    }
    if (!options.record.empty() && status != kExitUsage && status != kExitNoDriver) {
        const DongleIdentity dongle = Identify(options);
        FlashRecord record;
        record.time = UtcTimestamp(std::chrono::system_clock::now());
        record.serial = dongle.serial;
        record.location = dongle.location ? kx::FormatLocation(*dongle.location) : "";
        record.name = name;
        record.file = options.file;
        record.sha256 = sha256;
        record.result = status == kExitCompleted ? "completed" : "aborted";
        record.reason = status == kExitCompleted ? "" : lastError;
        record.duration =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        record.restarts = static_cast<int>(window.Restarts());
        if (const auto problem = AppendRecord(options.record, record)) {
            Err("kxupgrade: " + options.record + ": " + *problem + "\n");
        }
    }
    return status;
}

int FlashMany(const Options& options, const char* argv0) {
    if (const auto problem = CheckReadable(options.file)) {
        Err("kxupgrade: " + options.file + ": " + *problem + "\n");
        return kExitUsage;
    }
    // Checked once here rather than refused by every dongle's flasher in turn.
    if (const auto refusal = FirstRefusal(options.file)) {
        Err(*refusal + "\n");
        return kExitRefused;
    }
    if (!BindForListing()) {
        return kExitNoDriver;
    }
    FleetJob job;
    job.station = options.action == Options::Action::Station;
    job.file = options.file;
    job.sha256 = FirmwareDigest(options.file);
    job.wait = options.wait;
    job.json = options.json;
    job.record = options.record;
    // Each dongle's flasher is this program again.
    const std::string self = kx::platform::ExecutablePath();
    job.self = !self.empty() ? self : argv0 != nullptr ? argv0 : "";
    job.list = Dongles;
    FleetOutput output{Out, {}, Err};
    if (!options.json && TerminalWithEscapes(stderr)) {
        output.bar = Err;
    }
    return RunFleet(job, output, &g_stop);
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::string> utf8Args = CommandLineArguments(argc, argv);
    const std::vector<std::string_view> args(utf8Args.begin(), utf8Args.end());
    const Options options = ParseOptions(args);
    if (options.action == Options::Action::Help) {
        Out(HelpText("kxupgrade"));
        return kExitCompleted;
    }
    if (options.action == Options::Action::Invalid) {
        Err("kxupgrade: " + options.error +
            "\nUsage: kxupgrade [--wait SECONDS | --check] [--serial SN | --location ID] "
            "FILE.dat (--help for more)\n");
        return kExitUsage;
    }
    if (options.action == Options::Action::Check) {
        // No dongle and no driver library: the file alone.
        return RunCheck(options.file, Out, Err);
    }
    if (!options.record.empty()) {
        if (const auto problem = CheckRecordWritable(options.record)) {
            Err("kxupgrade: " + options.record + ": " + *problem + "\n");
            return kExitUsage;
        }
    }

    InstallStopHandler(&g_stop, &g_finished);
    int status = kExitCompleted;
    switch (options.action) {
        case Options::Action::List:
            status = List(options);
            break;
        case Options::Action::All:
        case Options::Action::Station:
            status = FlashMany(options, argc > 0 ? argv[0] : nullptr);
            break;
        default:
            status = FlashOne(options);
            break;
    }
    g_finished = true;
    return status;
}
