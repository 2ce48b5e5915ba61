// The dongle pulled out just before the k-th driver call of a whole upgrade, for every k
// up to the number of calls an undisturbed upgrade makes, and plugged in again shortly
// after. Whatever k: no crash, the window's thread never stops turning, every run ends
// in a completed transfer whose flash equals the file, a refused one, or one paused
// while the host stays responsive; never a "Transfer completed" over a wrong image.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "app/upgrade_dlg.h"
#include "device/driver_binding.h"
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
// Nothing in one run may take this long; the watchdog ends the process if it does.
constexpr auto kStuckLimit = 10s;
// Connected again after a loss, a transfer that has not moved for this long waits for a
// device that will not answer it.
constexpr auto kPauseAfter = 400ms;

enum class Outcome { Completed, Aborted, Paused, Undecided };

const char* Name(Outcome o) {
    switch (o) {
        case Outcome::Completed:
            return "completed";
        case Outcome::Aborted:
            return "aborted";
        case Outcome::Paused:
            return "paused";
        case Outcome::Undecided:
            break;
    }
    return "undecided";
}

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

struct RunResult {
    Outcome outcome = Outcome::Undecided;
    std::string problem;  // what makes the run a failure
    std::string log;
    std::uint64_t calls = 0;  // driver calls the run made
    bool lost = false;        // the host saw the dongle go
};

class UnplugSweep : public ::testing::Test {
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

    // One whole upgrade at unlimited speed; with k > 0 the dongle goes before call k.
    RunResult Upgrade(std::uint64_t k, Watchdog& watchdog) {
        UnbindDriverForTesting();
        kxsim_reset();
        kxsim_set_speed(0);
        if (k > 0) {
            kxsim_unplug_after_calls(static_cast<unsigned long>(k));
            kxsim_replug_after_ms(30);
        }
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
            // A transfer that stalls after a loss waits for a device that started afresh
            // (or was written to while it was starting): paused, as designed.
            std::size_t packets = 0;
            Clock::time_point moved = Clock::now();
            const auto decided = [&] {
                watchdog.Beat();
                const bool connected = window.Connection() == text::kConnected;
                if (!connected && !window.Connection().empty()) {
                    run.lost = true;
                }
                if (kxsim_packet_count() != packets || !connected) {
                    packets = kxsim_packet_count();
                    moved = Clock::now();
                }
                if (asked && !dlg.Transferring()) {
                    return true;
                }
                return run.lost && dlg.Transferring() && Clock::now() - moved > kPauseAfter;
            };
            window.RunUntil(
                decided, std::chrono::duration_cast<std::chrono::milliseconds>(kStuckLimit - 2s));
            if (asked && !dlg.Transferring()) {
                run.outcome =
                    window.Transfer() == text::kCompleted ? Outcome::Completed : Outcome::Aborted;
                run.log = window.Log();
            } else if (decided()) {
                run.outcome = Outcome::Paused;
                // Paused, not hung: the link is back and EXIT lets the user leave.
                if (!window.ExitEnabled()) {
                    run.problem = "EXIT disabled while paused";
                }
            }
            if (run.outcome == Outcome::Undecided) {
                char state[256];
                std::snprintf(state, sizeof state,
                              "asked %d, transferring %d, first stage %d, link \"%s\", "
                              "lost %d, device state %d, %zu packets",
                              asked, dlg.Transferring(), dlg.FirstStage(),
                              window.Connection().c_str(), run.lost, kxsim_device_state(),
                              kxsim_packet_count());
                run.problem = state;
            }
            if (run.outcome == Outcome::Completed && !FlashHoldsImage()) {
                run.problem = "\"Transfer completed\", but the flash differs from the file";
            }
            run.calls = AllCalls();
            dlg.OnEndDialog();
            window.Attach(nullptr);
        }
        UnbindDriverForTesting();
        return run;
    }

    std::string m_folder;
    std::string m_file;
    std::vector<std::uint8_t> m_image;
};

TEST_F(UnplugSweep, EveryCallOfAWholeUpgrade) {
    Watchdog watchdog;
    const RunResult clean = Upgrade(0, watchdog);
    ASSERT_EQ(clean.outcome, Outcome::Completed) << clean.log;
    ASSERT_TRUE(FlashHoldsImage());
    ASSERT_FALSE(clean.lost);

    // A stride thins the sweep where every run is slow (sanitizers).
    const char* strideText = std::getenv("KX_SWEEP_STRIDE");
    const std::uint64_t stride = strideText ? std::max(1, std::atoi(strideText)) : 1;
    std::map<Outcome, unsigned> tally;
    unsigned completedAfterLoss = 0;
    for (std::uint64_t k = 1; k <= clean.calls; k += stride) {
        watchdog.At(k);
        const RunResult run = Upgrade(k, watchdog);
        ++tally[run.outcome];
        completedAfterLoss += run.outcome == Outcome::Completed && run.lost ? 1 : 0;
        if (!run.problem.empty()) {
            ADD_FAILURE() << "k = " << k << ", " << Name(run.outcome) << ": " << run.problem;
        }
    }
    std::printf(
        "unplug before call k = 1..%llu (stride %llu): %u completed (%u after a loss), "
        "%u aborted, %u paused, %u undecided\n",
        static_cast<unsigned long long>(clean.calls), static_cast<unsigned long long>(stride),
        tally[Outcome::Completed], completedAfterLoss, tally[Outcome::Aborted],
        tally[Outcome::Paused], tally[Outcome::Undecided]);
    // Some unplugs must land inside the transfer, or the sweep proved nothing.
    EXPECT_GT(tally[Outcome::Aborted] + tally[Outcome::Paused], 0u);
}

}  // namespace
}  // namespace kx::test
