// The dongle pulled out just before the k-th driver call of a whole upgrade, for every k
// up to the number of calls an undisturbed upgrade makes, and plugged in again after a
// short and after a long absence; through the window's logic and through kxupgrade's.
// Whatever k: no crash, no hang, no transfer left waiting, and every run ends in
// "Transfer completed" with the flash equal to the file or in "Transfer aborted" with a
// reason. The sweep is cut into shards (k = shard + 1, shard + 1 + shards, ...) that
// CTest runs as entries of their own, side by side.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <thread>

#include "app/upgrade_dlg.h"
#include "console_window.h"
#include "device/driver_binding.h"
#include "flasher.h"
#include "kxsim.h"
#include "recording_window.h"
#include "srecord_writer.h"
#include "string_table.h"
#include "test_platform.h"

namespace kx::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kBase = 0x08000000;
constexpr unsigned kShards = 4;
// A run that has not ended after this long hangs: the window's face fails it, the
// flasher's face is stopped as by SIGINT and fails.
constexpr auto kHangLimit = 20s;
// Nothing may block the window's thread this long; the watchdog ends the process if it does.
constexpr auto kStuckLimit = 30s;

enum class Face { Window, Flasher };
enum class Outcome { Completed, CompletedAfterRestart, Resumed, Aborted, Failed };

struct SweepCase {
    Face face;
    int absenceMs;
    unsigned shard;
};

// How CTest names the entries.
void PrintTo(const SweepCase& c, std::ostream* out) {
    *out << (c.face == Face::Window ? "window" : "kxupgrade") << ", " << c.absenceMs
         << " ms, shard " << c.shard;
}

// The short absence ends before the host's first reconnection attempt (its timer ticks
// every 100 ms); the long one outlasts several failed attempts.
constexpr int kShortAbsenceMs = 50;
constexpr int kLongAbsenceMs = 500;

std::uint64_t AllCalls() {
    std::uint64_t calls = 0;
    for (int entry = 0; entry < KXSIM_FT_ENTRY_COUNT; ++entry) {
        calls += kxsim_call_count(entry);
    }
    return calls;
}

// Aborts the process when the window's thread stops turning: a handler that never returns.
class Watchdog {
  public:
    Watchdog()
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
    ~Watchdog() {
        m_stop = true;
        m_thread.join();
    }
    void Beat() { ++m_beats; }
    void At(std::uint64_t k) { m_k = k; }

  private:
    std::atomic<std::uint64_t> m_beats{0};
    std::atomic<std::uint64_t> m_k{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// kxupgrade's window, counting what the dialog tells a front end about restarts.
class CountingConsoleWindow : public cli::ConsoleWindow {
  public:
    using ConsoleWindow::ConsoleWindow;
    void TransferRestarted(unsigned restart, unsigned limit) override {
        restarts = restart;
        EXPECT_EQ(limit, CUpgradeDlg::kRestartLimit);
    }
    void TransferResumed() override { ++resumes; }
    unsigned restarts = 0;
    unsigned resumes = 0;
};

struct RunResult {
    Outcome outcome = Outcome::Failed;
    std::string problem;  // what makes the run a failure
    std::uint64_t calls = 0;
};

class UnplugSweep : public ::testing::TestWithParam<SweepCase> {
  protected:
    void SetUp() override {
        m_folder = MakeTempFolder("kx-sweep");
        // The switch record, two full bulk packets and a short one.
        m_image = TestImage(80 * 32 + 7, 3);
        m_file = m_folder + "/firmware.dat";
        std::ofstream(m_file, std::ios::binary) << FirmwareFile(m_image, kBase, "KX-DONGLE-2", 32);
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    bool FlashHoldsImage() const {
        std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
        kxsim_flash(flash.data(), flash.size());
        return flash.size() >= m_image.size() &&
               std::equal(m_image.begin(), m_image.end(), flash.begin());
    }

    // The verdict on a run that ended with `text` on the transfer line.
    RunResult Judge(const std::string& text, const std::string& reason, unsigned restarts,
                    unsigned resumes) const {
        RunResult run;
        if (text == text::kCompleted) {
            run.outcome = restarts > 0  ? Outcome::CompletedAfterRestart
                          : resumes > 0 ? Outcome::Resumed
                                        : Outcome::Completed;
            if (!FlashHoldsImage()) {
                run.outcome = Outcome::Failed;
                run.problem = "\"Transfer completed\", but the flash differs from the file";
            }
        } else if (text == text::kAborted) {
            run.outcome = Outcome::Aborted;
            if (reason.empty()) {
                run.problem = "aborted without a reason";
                run.outcome = Outcome::Failed;
            }
        } else {
            run.problem = "ended with the transfer line \"" + text + "\"";
        }
        return run;
    }

    void Arm(std::uint64_t k, int absenceMs) {
        UnbindDriverForTesting();
        kxsim_reset();
        kxsim_set_speed(0);
        if (k > 0) {
            kxsim_unplug_after_calls(static_cast<unsigned long>(k));
            kxsim_replug_after_ms(absenceMs);
        }
    }

    RunResult ThroughTheWindow(std::uint64_t k, int absenceMs, Watchdog& watchdog) {
        Arm(k, absenceMs);
        RecordingWindow window;
        bool asked = false;
        window.chooser = [&](const FileChooserRequest&) -> std::optional<std::string> {
            asked = true;
            return m_file;
        };
        RunResult run;
        {
            CUpgradeDlg dlg(window);
            window.Attach(&dlg);
            dlg.OnInitDialog();
            const bool ended = window.RunUntil(
                [&] {
                    watchdog.Beat();
                    return asked && !dlg.Transferring();
                },
                std::chrono::duration_cast<std::chrono::milliseconds>(kHangLimit));
            if (ended) {
                run = Judge(window.Transfer(), cli::LastLogLine(window.Log()), dlg.Restarts(),
                            dlg.Resumes());
            } else {
                char state[256];
                std::snprintf(state, sizeof state,
                              "no end: asked %d, transferring %d, held %d, link \"%s\", device "
                              "state %d, %zu packets",
                              asked, dlg.Transferring(), dlg.Held(), window.Connection().c_str(),
                              kxsim_device_state(), kxsim_packet_count());
                run.problem = state;
            }
            run.calls = AllCalls();
            dlg.OnEndDialog();
            window.Attach(nullptr);
        }
        UnbindDriverForTesting();
        return run;
    }

    RunResult ThroughTheFlasher(std::uint64_t k, int absenceMs, Watchdog& watchdog) {
        Arm(k, absenceMs);
        cli::ConsoleReport report([](std::string_view) {});
        CountingConsoleWindow window(report);
        window.displayChanged = [&] { watchdog.Beat(); };
        std::string errors;
        std::atomic<bool> stop{false};
        std::atomic<bool> finished{false};
        std::thread timer([&] {
            const auto until = Clock::now() + kHangLimit;
            while (!finished.load() && Clock::now() < until) {
                watchdog.Beat();
                std::this_thread::sleep_for(10ms);
            }
            stop = true;
        });
        const int status = cli::RunFlashJob(
            cli::FlashJob{m_file, std::nullopt, nullptr, {}, {}}, window,
            [&](std::string_view t) { errors += t; }, &stop);
        finished = true;
        timer.join();
        RunResult run;
        if (status == 0 || status == 1) {
            const std::string prefix = "kxupgrade: Transfer aborted: ";
            const bool reasoned = errors.rfind(prefix, 0) == 0 && errors.size() > prefix.size() + 1;
            run = Judge(window.Transfer(), reasoned ? errors : "", window.restarts, window.resumes);
            if ((status == 0) != (window.Transfer() == text::kCompleted)) {
                run.outcome = Outcome::Failed;
                run.problem = "exit status " + std::to_string(status) + " after \"" +
                              window.Transfer() + "\"";
            }
        } else {
            run.problem = "exit status " + std::to_string(status) + ": " + errors;
        }
        run.calls = AllCalls();
        UnbindDriverForTesting();
        return run;
    }

    RunResult Upgrade(Face face, std::uint64_t k, int absenceMs, Watchdog& watchdog) {
        return face == Face::Window ? ThroughTheWindow(k, absenceMs, watchdog)
                                    : ThroughTheFlasher(k, absenceMs, watchdog);
    }

    std::string m_folder;
    std::string m_file;
    std::vector<std::uint8_t> m_image;
};

TEST_P(UnplugSweep, EveryCallOfAWholeUpgrade) {
    const SweepCase& c = GetParam();
    Watchdog watchdog;
    const RunResult clean = Upgrade(c.face, 0, c.absenceMs, watchdog);
    ASSERT_EQ(clean.outcome, Outcome::Completed) << clean.problem;

    // A stride thins the sweep where every run is slow (sanitizers).
    const char* strideText = std::getenv("KX_SWEEP_STRIDE");
    const std::uint64_t stride = strideText ? std::max(1, std::atoi(strideText)) : 1;
    std::map<Outcome, unsigned> tally;
    for (std::uint64_t k = 1 + c.shard * stride; k <= clean.calls; k += kShards * stride) {
        watchdog.At(k);
        const RunResult run = Upgrade(c.face, k, c.absenceMs, watchdog);
        ++tally[run.outcome];
        if (!run.problem.empty()) {
            ADD_FAILURE() << "k = " << k << ": " << run.problem;
        }
    }
    std::printf(
        "%s, absence %d ms, unplug before call k = %u.. of %llu (every %llu): %u completed, "
        "%u completed after a restart, %u resumed, %u aborted, %u failed\n",
        c.face == Face::Window ? "window" : "kxupgrade", c.absenceMs, 1 + c.shard,
        static_cast<unsigned long long>(clean.calls),
        static_cast<unsigned long long>(kShards * stride), tally[Outcome::Completed],
        tally[Outcome::CompletedAfterRestart], tally[Outcome::Resumed], tally[Outcome::Aborted],
        tally[Outcome::Failed]);
    // Some unplugs must land inside the transfer, or the sweep proved nothing.
    EXPECT_GT(tally[Outcome::CompletedAfterRestart], 0u);
}

std::vector<SweepCase> AllCases() {
    std::vector<SweepCase> cases;
    for (Face face : {Face::Window, Face::Flasher}) {
        for (int absence : {kShortAbsenceMs, kLongAbsenceMs}) {
            for (unsigned shard = 0; shard < kShards; ++shard) {
                cases.push_back({face, absence, shard});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Faults, UnplugSweep, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<SweepCase>& p) {
                             return std::string(p.param.face == Face::Window ? "Window"
                                                                             : "Kxupgrade") +
                                    (p.param.absenceMs == kShortAbsenceMs ? "ShortAbsence"
                                                                          : "LongAbsence") +
                                    "Shard" + std::to_string(p.param.shard);
                         });

}  // namespace
}  // namespace kx::test
