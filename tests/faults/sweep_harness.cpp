#include "sweep_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "console_window.h"
#include "device/driver_binding.h"
#include "dialog/upgrade_dlg.h"
#include "flasher.h"
#include "kxsim.h"
#include "recording_window.h"
#include "sim_clock.h"
#include "srecord_writer.h"
#include "string_table.h"
#include "test_platform.h"

namespace kx::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kBase = 0x08000000;
// A run that has not ended after this long hangs. In real time the window's face fails it
// and the flasher's face is stopped as by SIGINT; on the simulated clock the same, in
// dongle time: far beyond any right run (three restarts, each with its announcement).
constexpr auto kRealHangLimit = 20s;
constexpr auto kSimulatedHangLimit = 180s;
// Nothing may block the window's thread this long; the watchdog ends the process if it does.
constexpr auto kStuckLimit = 30s;
// How often an idle dongle announces itself again.
constexpr double kRepeatMs = 3000;

// What the dongle last said and the host's last configuration calls, for a hang's report.
std::string DeviceTrace() {
    std::vector<unsigned char> sent(kxsim_device_sent(nullptr, 0));
    kxsim_device_sent(sent.data(), sent.size());
    std::string text =
        "; dongle time " + std::to_string(static_cast<long>(kxsim_now_ms())) + " ms, it last sent";
    char hex[4];
    for (std::size_t i = sent.size() > 4 ? sent.size() - 4 : 0; i < sent.size(); ++i) {
        std::snprintf(hex, sizeof hex, " %02X", sent[i]);
        text += hex;
    }
    text += "; host's last calls:";
    const std::size_t calls = kxsim_config_count();
    for (std::size_t i = calls > 3 ? calls - 3 : 0; i < calls; ++i) {
        char call[96];
        kxsim_config_text(i, call, sizeof call);
        text += std::string(" ") + call + ";";
    }
    return text;
}

std::uint64_t AllCalls() {
    std::uint64_t calls = 0;
    for (int entry = 0; entry < KXSIM_FT_ENTRY_COUNT; ++entry) {
        calls += kxsim_call_count(entry);
    }
    return calls;
}

// kxupgrade's window, counting what the dialog tells a front end about restarts.
class CountingConsoleWindow : public cli::ConsoleWindow {
  public:
    using ConsoleWindow::ConsoleWindow;
    void TransferRestarted(unsigned restart, unsigned limit) override {
        ConsoleWindow::TransferRestarted(restart, limit);
        restarts = restart;
        EXPECT_EQ(limit, CUpgradeDlg::kRestartLimit);
    }
    void TransferResumed() override { ++resumes; }
    unsigned restarts = 0;
    unsigned resumes = 0;
};

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed:
            return "completed";
        case Outcome::CompletedAfterRestart:
            return "completed after a restart";
        case Outcome::Resumed:
            return "resumed";
        case Outcome::Aborted:
            return "aborted";
        case Outcome::Hang:
            return "hang";
        case Outcome::FalseCompletion:
            return "false completion";
        case Outcome::Failed:
            return "other";
    }
    return "?";
}

}  // namespace

std::string Describe(const SweepCase& c) {
    return std::string(c.face == Face::Window ? "window" : "kxupgrade") +
           (c.selfPowered ? ", self-powered dongle" : ", restarting dongle") + ", absence " +
           std::to_string(c.absenceMs) + " ms, announced " + std::to_string(c.announceMs) +
           " ms after power-up" + (c.announceOnce ? " and never again" : "") +
           (c.otherDeviceId ? ", another device id" : "") +
           (c.lateAfterSwitchMs > 0
                ? ", host " + std::to_string(c.lateAfterSwitchMs) + " ms late after the switch"
                : "") +
           (c.simulatedTime ? "" : ", real time");
}

void Tally::Add(std::uint64_t k, const RunResult& run) {
    ++m_counts[run.outcome];
    if (run.outcome == Outcome::Aborted) {
        ++m_reasons[run.reason];
    }
    if (!run.problem.empty()) {
        m_failures.push_back("k = " + std::to_string(k) + ": " + OutcomeName(run.outcome) + ": " +
                             run.problem);
    }
}

unsigned Tally::Count(Outcome outcome) const {
    const auto it = m_counts.find(outcome);
    return it == m_counts.end() ? 0 : it->second;
}

unsigned Tally::Failures() const {
    return static_cast<unsigned>(m_failures.size());
}

std::string Tally::Summary() const {
    std::string text;
    for (Outcome outcome :
         {Outcome::Completed, Outcome::CompletedAfterRestart, Outcome::Resumed, Outcome::Aborted}) {
        text += std::to_string(Count(outcome)) + " " + OutcomeName(outcome) + ", ";
    }
    if (!m_reasons.empty()) {
        text.resize(text.size() - 2);
        std::string reasons;
        for (const auto& [reason, n] : m_reasons) {
            reasons += (reasons.empty() ? "" : ", ") + reason + " " + std::to_string(n);
        }
        text += " (" + reasons + "), ";
    }
    text += std::to_string(Failures()) + " failed";
    std::string kinds;
    for (Outcome outcome : {Outcome::Hang, Outcome::FalseCompletion, Outcome::Failed}) {
        if (Count(outcome) > 0) {
            kinds += (kinds.empty() ? "" : ", ") + std::string(OutcomeName(outcome)) + " " +
                     std::to_string(Count(outcome));
        }
    }
    return kinds.empty() ? text : text + " (" + kinds + ")";
}

std::string Tally::FirstFailures(std::size_t n) const {
    std::string text;
    for (std::size_t i = 0; i < m_failures.size() && i < n; ++i) {
        text += "  " + m_failures[i] + "\n";
    }
    return text;
}

Watchdog::Watchdog()
    : m_thread([this] {
          std::uint64_t seen = m_beats.load();
          auto since = Clock::now();
          while (!m_stop.load()) {
              std::this_thread::sleep_for(50ms);
              const std::uint64_t now = m_beats.load();
              if (now != seen) {
                  seen = now;
                  since = Clock::now();
              } else if (Clock::now() - since > kStuckLimit) {
                  std::fprintf(stderr, "window thread stuck at k = %llu\n",
                               static_cast<unsigned long long>(m_k.load()));
                  std::abort();
              }
          }
      }) {}

Watchdog::~Watchdog() {
    m_stop = true;
    m_thread.join();
}

SweepHarness::SweepHarness() {
    m_folder = MakeTempFolder("kx-sweep");
    // The switch record, two full bulk packets and a short one.
    m_image = TestImage(80 * 32 + 7, 3);
    const std::string file = FirmwareFile(m_image, kBase, "KX-DONGLE-2", 32);
    // The first two lines, the S0 record and the switch record, go out without line ends.
    const std::size_t headerEnd = file.find('\n');
    const std::size_t switchEnd = file.find('\n', headerEnd + 1);
    m_throughSwitch = switchEnd - 3;  // less CR LF after each of the two records
    m_file = m_folder + "/firmware.dat";
    std::ofstream(m_file, std::ios::binary) << file;
}

SweepHarness::~SweepHarness() {
    std::filesystem::remove_all(m_folder);
}

RunResult SweepHarness::Run(const SweepCase& c, std::uint64_t k) {
    m_watchdog.At(k);
    return c.face == Face::Window ? ThroughTheWindow(c, k) : ThroughTheFlasher(c, k);
}

bool SweepHarness::FlashHoldsImage() const {
    std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
    kxsim_flash(flash.data(), flash.size());
    return flash.size() >= m_image.size() &&
           std::equal(m_image.begin(), m_image.end(), flash.begin());
}

RunResult SweepHarness::Judge(const std::string& text, const std::string& reason, unsigned restarts,
                              unsigned resumes) const {
    RunResult run;
    if (text == text::kCompleted) {
        run.outcome = restarts > 0  ? Outcome::CompletedAfterRestart
                      : resumes > 0 ? Outcome::Resumed
                                    : Outcome::Completed;
        if (!FlashHoldsImage()) {
            run.outcome = Outcome::FalseCompletion;
            run.problem = "\"Transfer completed\", but the flash differs from the file";
        }
    } else if (text == text::kAborted) {
        run.outcome = Outcome::Aborted;
        run.reason = reason;
        if (reason.empty()) {
            run.problem = "aborted without a reason";
            run.outcome = Outcome::Failed;
        }
    } else {
        run.problem = "ended with the transfer line \"" + text + "\"";
    }
    if (!run.problem.empty()) {
        run.problem +=
            " (restarts " + std::to_string(restarts) + ", resumes " + std::to_string(resumes) + ")";
    }
    return run;
}

// Called with the harness's clock already on the dongle when the time is simulated.
void SweepHarness::Arm(const SweepCase& c, std::uint64_t k) {
    UnbindDriverForTesting();
    kxsim_reset();
    // Simulated time costs nothing: the dongle's real times. Real time: as fast as it goes.
    kxsim_set_speed(c.simulatedTime ? 1 : 0);
    kxsim_set_announce(c.announceMs, c.announceOnce ? 0 : kRepeatMs);
    if (c.otherDeviceId) {
        kxsim_set_id("KX-DONGLE-9");
    }
    kxsim_set_self_powered(c.selfPowered ? 1 : 0);
    m_nextNoiseMs = 0;
    m_wasLate = false;
    if (c.noiseForAnswer) {
        kxsim_set_erase_ms(600000);
    }
    if (k > 0) {
        kxsim_unplug_after_calls(static_cast<unsigned long>(k));
        kxsim_replug_after_ms(c.absenceMs);
    }
}

void SweepHarness::Disturb(const SweepCase& c) {
    if (c.lateAfterSwitchMs > 0 && !m_wasLate &&
        kxsim_device_received(nullptr, 0) >= m_throughSwitch) {
        m_wasLate = true;
        kxsim_advance_ms(c.lateAfterSwitchMs);  // the dongle goes on meanwhile
    }
    if (c.noiseForAnswer && kxsim_device_received(nullptr, 0) >= m_throughSwitch &&
        kxsim_now_ms() >= m_nextNoiseMs) {
        const unsigned char noise = 0x00;
        kxsim_inject(&noise, 1);
        m_nextNoiseMs = kxsim_now_ms() + 100;
    }
}

RunResult SweepHarness::ThroughTheWindow(const SweepCase& c, std::uint64_t k) {
    RecordingWindow window;
    std::optional<SimClock> clock;
    if (c.simulatedTime) {
        clock.emplace(window);
        clock->afterStep = [this, &c] {
            m_watchdog.Beat();
            Disturb(c);
        };
        window.SetClock(&*clock);
    }
    Arm(c, k);
    bool asked = false;
    window.chooser = [&](const FileChooserRequest&) -> std::optional<std::string> {
        asked = true;
        return File();
    };
    RunResult run;
    {
        CUpgradeDlg dlg(window);
        if (clock) {
            dlg.SetClock(*clock);
            dlg.SetPollStarter(clock->PollStarter());
        }
        window.Attach(&dlg);
        dlg.OnInitDialog();
        const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(
            c.simulatedTime ? kSimulatedHangLimit : kRealHangLimit);
        const bool ended = window.RunUntil(
            [&] {
                m_watchdog.Beat();
                return asked && !dlg.Transferring();
            },
            limit);
        if (ended) {
            run = Judge(window.Transfer(), dlg.LastAbortReason(), dlg.Restarts(), dlg.Resumes());
            // What the front ends decide on must say what the line says.
            const TransferState state = dlg.Outcome().state;
            if ((state == TransferState::Completed) != (window.Transfer() == text::kCompleted) ||
                (state == TransferState::Aborted) != (window.Transfer() == text::kAborted)) {
                run.outcome = Outcome::Failed;
                run.problem = "outcome " + std::to_string(static_cast<int>(state)) +
                              " beside the transfer line \"" + window.Transfer() + "\"";
            }
        } else {
            char state[256];
            std::snprintf(state, sizeof state,
                          "no end: asked %d, transferring %d, held %d, restarts %u, resumes %u, "
                          "link \"%s\", device state %d, %zu packets",
                          asked, dlg.Transferring(), dlg.Held(), dlg.Restarts(), dlg.Resumes(),
                          window.Connection().c_str(), kxsim_device_state(), kxsim_packet_count());
            run.outcome = Outcome::Hang;
            run.problem = state + DeviceTrace();
        }
        run.calls = AllCalls();
        dlg.OnEndDialog();
        window.Attach(nullptr);
    }
    window.SetClock(nullptr);
    UnbindDriverForTesting();
    return run;
}

RunResult SweepHarness::ThroughTheFlasher(const SweepCase& c, std::uint64_t k) {
    cli::ConsoleReport report([](std::string_view) {});
    CountingConsoleWindow window(report);
    window.displayChanged = [&] { m_watchdog.Beat(); };
    std::atomic<bool> stop{false};
    std::optional<SimClock> clock;
    cli::FlashJob job{File(), std::nullopt, nullptr, {}, c.timeout};
    if (c.simulatedTime) {
        clock.emplace(window);
        clock->afterStep = [&] {
            m_watchdog.Beat();
            Disturb(c);
            // The dongle's time runs from its reset at the start of the run.
            if (kxsim_now_ms() > std::chrono::milliseconds(kSimulatedHangLimit).count()) {
                stop = true;
            }
        };
        job.clock = &*clock;
        job.pollStarter = clock->PollStarter();
    }
    Arm(c, k);
    std::atomic<bool> finished{false};
    std::thread timer;
    if (!c.simulatedTime) {
        timer = std::thread([&] {
            const auto until = Clock::now() + kRealHangLimit;
            while (!finished.load() && Clock::now() < until) {
                m_watchdog.Beat();
                std::this_thread::sleep_for(10ms);
            }
            stop = true;
        });
    }
    std::string errors;
    const int status = cli::RunFlashJob(
        job, window, [&](std::string_view t) { errors += t; }, &stop);
    finished = true;
    if (timer.joinable()) {
        timer.join();
    }
    RunResult run;
    if (status == 0 || status == 1) {
        const std::string prefix = "kxupgrade: Transfer aborted: ";
        std::string reason;
        if (errors.rfind(prefix, 0) == 0 && errors.size() > prefix.size() + 1) {
            reason = errors.substr(prefix.size(), errors.size() - prefix.size() - 1);
        }
        run = Judge(window.Transfer(), reason, window.restarts, window.resumes);
        if ((status == 0) != (window.Transfer() == text::kCompleted)) {
            run.outcome = Outcome::Failed;
            run.problem =
                "exit status " + std::to_string(status) + " after \"" + window.Transfer() + "\"";
        }
    } else {
        run.outcome = stop.load() ? Outcome::Hang : Outcome::Failed;
        run.problem = "exit status " + std::to_string(status) + ": " + errors + DeviceTrace();
    }
    run.calls = AllCalls();
    UnbindDriverForTesting();
    return run;
}

}  // namespace kx::test
