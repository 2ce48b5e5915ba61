// One run of the command-line flasher: the upgrade dialog's logic on a console window,
// from waiting for the dongle to the end of one transfer.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "console_report.h"
#include "console_window.h"
#include "device/host_clock.h"

namespace kx::cli {

struct FlashJob {
    std::string file;
    std::optional<std::chrono::milliseconds> wait;  // none: wait for ever
    const char* driverLibrary = nullptr;            // the loader's name when null
    // Called with the announced name when the dongle asks for the file.
    std::function<void(const std::string& name)> announced = nullptr;
    // A transfer that makes no progress for this long is given up; none: wait for ever.
    std::optional<std::chrono::milliseconds> timeout;
    // A harness that drives time: the clock the dialog and the message loop read and sleep
    // on, and what starts polling instead of a poll thread (see HeadlessWindow::SetClock).
    HostClock* clock = nullptr;
    std::function<void()> pollStarter = nullptr;
};

// Why the firmware file cannot be sent, or nothing when it can be opened and read.
std::optional<std::string> CheckReadable(const std::string& path);

// Runs the job and returns the exit status (exit_codes.h). Problems go to `errors`.
// `stop`, when given and set (by a signal), ends the run at the next message.
int RunFlashJob(const FlashJob& job, ConsoleWindow& window, const ConsoleReport::Sink& errors,
                const std::atomic<bool>* stop = nullptr);

}  // namespace kx::cli
