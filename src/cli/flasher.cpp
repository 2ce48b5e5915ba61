#include "flasher.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "check_report.h"
#include "console_platform.h"
#include "device/dynamic_library.h"
#include "device/utf8_path.h"
#include "dialog/upgrade_dlg.h"
#include "exit_codes.h"
#include "firmware_file.h"
#include "string_table.h"

namespace kx::cli {

namespace {

// The message loop runs in slices so that "for ever" needs no clock arithmetic at its edge.
constexpr std::chrono::hours kSlice(1);

bool RunUntil(HeadlessWindow& window, const std::function<bool()>& done,
              std::optional<std::chrono::milliseconds> limit) {
    if (limit) {
        return window.RunUntil(done, *limit);
    }
    while (!window.RunUntil(done, kSlice)) {
        if (window.Ended()) {
            return false;
        }
    }
    return true;
}

std::string Seconds(std::chrono::milliseconds wait) {
    const long long ms = wait.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03lld", ms % 1000);
        text += fraction;
        while (text.back() == '0') {
            text.pop_back();
        }
    }
    return text + " s";
}

// The log line of a transfer given up by --timeout.
std::string StalledReason(std::chrono::milliseconds timeout) {
    std::string seconds = Seconds(timeout);
    seconds.resize(seconds.size() - 2);  // without " s"
    return "NO PROGRESS FOR " + seconds + " SECONDS: TRANSFER GIVEN UP";
}

}  // namespace

std::optional<std::string> CheckReadable(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(PathFromUtf8(path), error);
    if (error) {
        return error.message();
    }
    if (!std::filesystem::is_regular_file(status)) {
        return "not a regular file";
    }
    // The same open and read the transfer will use, so that a file that passes here is
    // one the transfer can send.
    FirmwareFile file;
    if (!file.Open(path)) {
        return file.Problem();
    }
    return std::nullopt;
}

namespace {

// How the transfer ended, as an exit status, with its reason told to `errors`.
int Verdict(const CUpgradeDlg& dlg, bool stopped, const FlashJob& job,
            const ConsoleReport::Sink& errors) {
    if (stopped) {
        errors(dlg.Transferring() ? "kxupgrade: interrupted during the transfer; the dongle "
                                    "holds a partial image\n"
                                  : "kxupgrade: interrupted\n");
        return kExitInterrupted;
    }
    if (!dlg.FileRefusal().empty()) {
        // Changed on disk since the check at the start, and refused when it was read again.
        errors(dlg.FileRefusal() + "\n");
        return kExitRefused;
    }
    switch (dlg.Outcome().state) {
        case TransferState::Completed:
            return kExitCompleted;
        case TransferState::Aborted:
            errors("kxupgrade: Transfer aborted: " + dlg.Outcome().reason + "\n");
            return kExitAborted;
        case TransferState::Idle:
        case TransferState::InProgress:
        case TransferState::Refused:  // told above
            break;
    }
    errors("kxupgrade: " + job.file + ": could not be opened when the dongle asked for it\n");
    return kExitUsage;
}

}  // namespace

int RunFlashJob(const FlashJob& job, ConsoleWindow& window, const ConsoleReport::Sink& errors,
                const std::atomic<bool>* stop) {
    if (const auto problem = CheckReadable(job.file)) {
        errors("kxupgrade: " + job.file + ": " + *problem + "\n");
        return kExitUsage;
    }
    // Checked whole before the dongle is waited for: nothing of a refused file is sent.
    if (const auto refusal = FirstRefusal(job.file)) {
        errors(*refusal + "\n");
        return kExitRefused;
    }
    const char* library = job.driverLibrary ? job.driverLibrary : platform::kDriverLibraryName;
    bool asked = false;
    window.chooser = [&](const FileChooserRequest&) -> std::optional<std::string> {
        if (asked) {
            return std::nullopt;  // one transfer per run
        }
        asked = true;
        if (job.announced) {
            job.announced(window.Host().Dialog()->DeviceName());
        }
        return job.file;
    };
    window.messageBox = [&errors](const std::string& text) { errors("kxupgrade: " + text + "\n"); };

    // The window's host owns the dialog and orders its start and end; no session log here.
    CUpgradeDlg& dlg = window.Host().MakeDialog(window, library);
    HostClock& clock = job.clock != nullptr ? *job.clock : RealClock();
    if (job.clock != nullptr) {
        dlg.SetClock(*job.clock);
        window.SetClock(job.clock);
    }
    if (job.pollStarter) {
        dlg.SetPollStarter(job.pollStarter);
    }
    // The device closed, the poll threads stopped and the hooks gone before this returns.
    struct Detach {
        ConsoleWindow& window;
        ~Detach() {
            window.Host().End(false);
            window.Host().ShowQueuedBoxes();  // shown by a poll thread after the last turn
            window.SetClock(nullptr);
            window.chooser = nullptr;
            window.messageBox = nullptr;
        }
    } detach{window};

    const auto stopped = [stop] { return stop != nullptr && stop->load(); };
    if (!window.Host().Start(false)) {
        errors(std::string("kxupgrade: the driver library ") + library +
               " is missing or incomplete; " + kDriverAdvice + "\n");
        return kExitNoDriver;
    }
    if (!RunUntil(
            window, [&] { return asked || stopped(); }, job.wait)) {
        const bool found = dlg.ConnectionText() == text::kConnected;
        errors("kxupgrade: no announcement from the dongle within " + Seconds(*job.wait) +
               (found ? " (it is connected: restart it into its bootloader)\n"
                      : " (it was not found: plug it in)\n"));
        return kExitNoAnnouncement;
    }
    // A lost dongle holds the transfer until it is back; the dialog then restarts or
    // resumes it. Only --timeout ends a transfer that stops moving.
    const auto ended = [&] {
        if (job.timeout && dlg.Transferring() && clock.Now() - dlg.LastProgress() >= *job.timeout) {
            dlg.EndTransfer(StalledReason(*job.timeout));
        }
        return !dlg.Transferring() || stopped();
    };
    if (!stopped() && dlg.Transferring()) {
        RunUntil(window, ended, std::nullopt);
    }
    return Verdict(dlg, stopped(), job, errors);
}

}  // namespace kx::cli
