// kxupgrade [--wait SECONDS] FILE.dat: flashes the dongle without a window.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define KX_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define KX_ISATTY(f) isatty(fileno(f))
#endif

#include "check_report.h"
#include "console_report.h"
#include "console_window.h"
#include "exit_codes.h"
#include "flasher.h"
#include "options.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) {
    g_stop = true;
}

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace kx::cli;
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const Options options = ParseOptions(args);
    if (options.action == Options::Action::Help) {
        Write(stdout, HelpText("kxupgrade"));
        return kExitCompleted;
    }
    if (options.action == Options::Action::Invalid) {
        Write(stderr, "kxupgrade: " + options.error +
                          "\nUsage: kxupgrade [--wait SECONDS | --check] "
                          "FILE.dat (--help for more)\n");
        return kExitUsage;
    }

    if (options.action == Options::Action::Check) {
        // No dongle and no driver library: the file alone.
        return RunCheck(
            options.file, [](std::string_view text) { Write(stdout, text); },
            [](std::string_view text) { Write(stderr, text); });
    }

    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    const auto out = [](std::string_view text) { Write(stdout, text); };
    const auto err = [](std::string_view text) { Write(stderr, text); };
    ConsoleReport report(out, KX_ISATTY(stderr) ? ConsoleReport::Sink(err) : ConsoleReport::Sink());
    ConsoleWindow window(report);
    const std::thread::id mainThread = std::this_thread::get_id();
    const auto errors = [&](std::string_view text) {
        // A message box may come from the poll thread, which must not touch the report.
        if (std::this_thread::get_id() == mainThread) {
            report.Finish();
        }
        err(text);
    };
    const int status =
        RunFlashJob(FlashJob{options.file, options.wait, nullptr}, window, errors, &g_stop);
    report.Finish();
    return status;
}
