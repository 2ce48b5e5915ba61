// kxupgrade: flashes the dongle without a window; --all and --station flash many, --list
// lists them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check_report.h"
#include "console_platform.h"
#include "console_report.h"
#include "console_window.h"
#include "device/dongle_choice.h"
#include "device/driver_binding.h"
#include "device/dynamic_library.h"
#include "dialog/upgrade_dlg.h"
#include "dongle_events.h"
#include "exit_codes.h"
#include "flash_record.h"
#include "flasher.h"
#include "fleet.h"
#include "json_line.h"
#include "options.h"
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
            Out(Printable(dongle.serial) + "  " + kx::FormatLocation(dongle.location) + "\n");
        }
    }
    return kExitCompleted;
}

// The dongle the flasher opened, as the driver listed it right after the open.
std::optional<DongleIdentity> OpenedIdentity() {
    const std::optional<kx::ListedDongle> opened = kx::OpenedDongle();
    if (!opened) {
        return std::nullopt;
    }
    return DongleIdentity{opened->serial, opened->location};
}

void Record(const std::string& path, const std::string& file, const DongleEnd& end) {
    FlashRecord record;
    record.time = UtcTimestamp(std::chrono::system_clock::now());
    record.serial = end.dongle.serial;
    record.location = end.dongle.location ? kx::FormatLocation(*end.dongle.location) : "";
    record.name = end.name;
    record.file = file;
    record.sha256 = end.sha256;
    record.size = end.size;
    record.result = end.result;
    record.reason = end.reason;
    record.duration = end.duration;
    record.restarts = end.restarts;
    if (const auto problem = AppendRecord(path, record)) {
        Err("kxupgrade: " + path + ": " + *problem + "\n");
    }
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
    // With --json the standard output carries the events alone.
    const ConsoleReport::Sink out =
        options.json ? ConsoleReport::Sink([](std::string_view) {}) : ConsoleReport::Sink(Out);
    const bool bar = !options.json && TerminalWithEscapes(stderr);
    ConsoleReport report(out, bar ? ConsoleReport::Sink(Err) : ConsoleReport::Sink());
    DongleEvents events(options.json ? DongleEvents::Sink(Out) : DongleEvents::Sink(),
                        DongleIdentity{options.serial.value_or(""), options.location},
                        options.file);
    events.identify = OpenedIdentity;
    bool record = false;  // set once the run has come to a dongle's verdict
    events.ended = [&](const DongleEnd& end) {
        if (end.result == "removed") {
            Err("kxupgrade: " + Printable(end.dongle.serial) + ": " + end.reason + "\n");
        }
        if (!options.record.empty() && (record || end.result == "removed")) {
            Record(options.record, options.file, end);
        }
    };
    ConsoleWindow window(report, &events);
    std::string lastError;
    // On this thread only: the window's host brings a poll thread's message boxes here.
    const auto errors = [&](std::string_view text) {
        report.Finish();
        lastError = Reason(text);
        Err(text);
    };
    FlashJob job{options.file, options.wait, nullptr, {}, options.timeout};
    job.announced = [&](const std::string& announced) { events.Announced(announced); };
    const int status = RunFlashJob(job, window, errors, &g_stop);
    report.Finish();
    record = status != kExitUsage && status != kExitNoDriver;
    events.Finished(status, status == kExitCompleted ? "" : lastError);
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
    job.transferArgs = TransferArguments(options);
    job.json = options.json;
    job.record = options.record;
    // Each dongle's flasher is this program again.
    const std::string self = kx::platform::ExecutablePath();
    job.self = !self.empty() ? self : argv0 != nullptr ? argv0 : "";
    // --all --serial A,B: only those (the retry of the dongles that failed).
    std::set<std::string> only;
    for (std::string_view list = options.serial.value_or(""); !list.empty();) {
        const std::size_t comma = std::min(list.find(','), list.size());
        only.emplace(list.substr(0, comma));
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    job.list = [only] {
        std::vector<kx::ListedDongle> dongles = Dongles();
        if (!only.empty()) {
            std::erase_if(dongles,
                          [&](const kx::ListedDongle& d) { return only.count(d.serial) == 0; });
        }
        return dongles;
    };
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
