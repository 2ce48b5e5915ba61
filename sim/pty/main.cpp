// kxsim-pty: the simulated dongle on a pseudo-terminal, for the serial-port driver library.
//
//   kxsim-pty [--sysfs DIR] [--dev DIR] [--tty NAME] [--host-rate SHOWN=ASKED]
//             [--quiet-grace MS]
//
// Settings come from KXSIM_CONFIG and the KXSIM_* variables, as for the simulated library.
// Standard input takes the commands "unplug", "plug", "restart" (a power cycle on the same
// pty), "cut N" (the USB link fails after N more host bytes), "rejoin" (it is back, the
// dongle not restarted), "dump" (the flash image to dump_flash now) and "quit"; standard
// output reports "plugged <slave>", "unplugged", "restarted", "cut", "rejoined", "dumped",
// "opened", "closed" and "bye", one per line.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "model_clock.h"
#include "pty_dongle.h"
#include "settings.h"
#include "usb_presence.h"

namespace {

volatile sig_atomic_t g_stop = 0;

extern "C" void OnStop(int) {
    g_stop = 1;
}

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

constexpr char kUsage[] =
    "usage: kxsim-pty [--sysfs DIR] [--dev DIR] [--tty NAME] [--host-rate SHOWN=ASKED]\n"
    "                 [--quiet-grace MS]\n";

struct Options {
    kxsim::pty::PresenceFolders folders;
    kxsim::pty::RateAlias rateAlias;
    int quietGraceMs = 10;
};

// "460800=500000": both rates positive whole numbers.
bool ParseRateAlias(const std::string& text, kxsim::pty::RateAlias& alias) {
    unsigned long shown = 0;
    unsigned long asked = 0;
    int end = 0;
    if (std::sscanf(text.c_str(), "%lu=%lu%n", &shown, &asked, &end) != 2 ||
        static_cast<std::size_t>(end) != text.size() || shown == 0 || asked == 0) {
        return false;
    }
    alias.from = static_cast<double>(shown);
    alias.to = static_cast<double>(asked);
    return true;
}

std::optional<Options> ParseArguments(int argc, char* argv[]) {
    Options options;
    kxsim::pty::PresenceFolders& folders = options.folders;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (option == "--sysfs") {
            folders.sysfs = value;
        } else if (option == "--dev") {
            folders.dev = value;
        } else if (option == "--tty" && !value.empty() && value.find('/') == std::string::npos) {
            folders.tty = value;
        } else if (option == "--host-rate") {
            if (!ParseRateAlias(value, options.rateAlias)) {
                return std::nullopt;
            }
        } else if (option == "--quiet-grace" && !value.empty() && value.size() < 7 &&
                   value.find_first_not_of("0123456789") == std::string::npos) {
            options.quietGraceMs = std::atoi(value.c_str());
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// Standard input, split into command lines.
class Commands {
  public:
    bool Open() const { return m_open; }
    std::vector<std::string> Take() {
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            m_open = false;  // the commands have ended; the device runs on until a signal
            return {};
        }
        m_pending.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> lines;
        for (std::size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            lines.push_back(m_pending.substr(0, end));
            m_pending.erase(0, end + 1);
        }
        return lines;
    }

  private:
    std::string m_pending;
    bool m_open = true;
};

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<Options> options = ParseArguments(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    kxsim::Settings settings;
    if (const int bad = kxsim::LoadSettingsFromEnvironment({settings, 0}); bad != 0) {
        std::fprintf(stderr, "kxsim-pty: bad setting (%d)\n", bad);
        return 2;
    }
    // A pty has no FTDI chip to hold what the dongle says before the host has opened and set
    // up the port: this dongle keeps the timing from the open.
    settings.announceFromOpen = true;
    kxsim::TimeScale scale;
    scale.SetSpeed(settings.speed);
    kxsim::ModelClock clock;
    kxsim::pty::UsbPresence presence(options->folders, settings);
    kxsim::pty::PtyDongle dongle(settings, scale, presence, Say);
    dongle.SetHostRateAlias(options->rateAlias);
    dongle.SetQuietGrace(kxsim::FromMs(options->quietGraceMs));

    // The stop signals stay blocked except inside ppoll(), so none slips in between.
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);

    // Model time at which the dongle is plugged in; negative once it has been.
    kxsim::Nanos plugAt = settings.plugDelayMs < 0 ? -1 : kxsim::FromMs(settings.plugDelayMs);
    if (plugAt < 0) {
        dongle.Plug(clock.Now());
    }
    Commands commands;
    bool quit = false;
    while (!quit && g_stop == 0) {
        const kxsim::Nanos now = clock.Now();
        if (plugAt >= 0 && now >= plugAt) {
            plugAt = -1;
            dongle.Plug(now);
        }
        dongle.Service(now);

        pollfd fds[2] = {{commands.Open() ? STDIN_FILENO : -1, POLLIN, 0},
                         {dongle.WatchFd(), POLLIN, 0}};
        int waitMs = dongle.WaitMs(now);
        if (plugAt >= 0) {
            const auto untilPlug = static_cast<int>((plugAt - now) / 1000000 + 1);
            waitMs = waitMs < 0 ? untilPlug : std::min(waitMs, untilPlug);
        }
        timespec timeout{waitMs / 1000, (waitMs % 1000) * 1000000L};
        if (ppoll(fds, 2, waitMs < 0 ? nullptr : &timeout, &waiting) <= 0 ||
            (fds[0].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        for (const std::string& command : commands.Take()) {
            if (command == "unplug") {
                dongle.Unplug();
            } else if (command == "plug") {
                dongle.Plug(clock.Now());
            } else if (command == "restart") {
                dongle.Restart(clock.Now());
            } else if (command.rfind("cut ", 0) == 0) {
                dongle.CutAfter(std::strtoull(command.c_str() + 4, nullptr, 10));
            } else if (command == "rejoin") {
                dongle.Rejoin();
                Say("rejoined");
            } else if (command == "dump") {
                dongle.DumpFlash();
                Say("dumped");
            } else if (command == "quit") {
                quit = true;
            } else if (!command.empty()) {
                Say("unknown command: " + command);
            }
        }
    }
    dongle.DumpFlash();
    dongle.Unplug();
    Say("bye");
    return 0;
}
