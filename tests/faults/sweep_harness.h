// One whole upgrade with the dongle pulled out just before the k-th driver call (none for
// k = 0) and plugged in again after an absence, through the window's logic or through
// kxupgrade's, and the verdict on it: a right flash, a clear abort, or a failure (a hang,
// a false completion, an abort without a reason). The run takes real time, or the clock of
// the simulated dongle, which the harness moves (SimClock): seconds of dongle time then
// pass in microseconds and every run of a case is the same run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

enum class Face { Window, Flasher };

struct SweepCase {
    Face face = Face::Window;
    bool selfPowered = false;  // keeps its bootloader's state across the drop
    int absenceMs = 50;
    int announceMs = 100;  // after power-up
    bool simulatedTime = true;
    // After the switch record the dongle never answers (an erase that does not end) while
    // noise arrives, one byte every 100 ms of dongle time: a dongle heard at the wrong rate.
    bool noiseForAnswer = false;
    std::optional<std::chrono::milliseconds> timeout;  // kxupgrade's --timeout
    // The dongle's id is not the file's: it refuses the header record.
    bool otherDeviceId = false;
    // The host's thread gets the processor back this much later than it asked, once,
    // right after the dongle has taken the switch record (a loaded machine).
    int lateAfterSwitchMs = 0;
    bool announceOnce = false;  // no repeated announcement while idle
};

// "window, self-powered dongle, absence 3000 ms, announced 1500 ms after power-up"
std::string Describe(const SweepCase& c);

enum class Outcome {
    Completed,
    CompletedAfterRestart,
    Resumed,
    Aborted,
    Hang,
    FalseCompletion,
    Failed
};

struct RunResult {
    Outcome outcome = Outcome::Failed;
    std::string reason;   // an abort's, as the log gave it
    std::string problem;  // what makes the run a failure
    std::uint64_t calls = 0;
};

// The runs of one sweep, counted by outcome, aborts also by reason.
class Tally {
  public:
    void Add(std::uint64_t k, const RunResult& run);
    unsigned Count(Outcome outcome) const;
    unsigned Failures() const;
    // "12 completed, 3 completed after a restart, ... 2 failed (hang 2)"
    std::string Summary() const;
    // The first few failures, one line each: "k = 71: hang: ..."
    std::string FirstFailures(std::size_t n) const;

  private:
    std::map<Outcome, unsigned> m_counts;
    std::map<std::string, unsigned> m_reasons;
    std::vector<std::string> m_failures;
};

// Aborts the process when the window's thread stops turning: a handler that never returns.
class Watchdog {
  public:
    Watchdog();
    ~Watchdog();
    void Beat() { ++m_beats; }
    void At(std::uint64_t k) { m_k = k; }

  private:
    std::atomic<std::uint64_t> m_beats{0};
    std::atomic<std::uint64_t> m_k{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class SweepHarness {
  public:
    SweepHarness();
    ~SweepHarness();
    SweepHarness(const SweepHarness&) = delete;
    SweepHarness& operator=(const SweepHarness&) = delete;

    // k = 0: an undisturbed upgrade.
    RunResult Run(const SweepCase& c, std::uint64_t k);

  private:
    void Arm(const SweepCase& c, std::uint64_t k);
    // Called at each step of the simulated clock: the noise of c.noiseForAnswer, the host's
    // lateness of c.lateAfterSwitchMs.
    void Disturb(const SweepCase& c);
    RunResult ThroughTheWindow(const SweepCase& c, std::uint64_t k);
    RunResult ThroughTheFlasher(const SweepCase& c, std::uint64_t k);
    RunResult Judge(const std::string& text, const std::string& reason, unsigned restarts,
                    unsigned resumes) const;
    bool FlashHoldsImage() const;
    const std::string& File() const { return m_file; }

    Watchdog m_watchdog;
    std::string m_folder;
    std::string m_file;
    std::vector<std::uint8_t> m_image;
    std::size_t m_throughSwitch = 0;  // the file's bytes on the wire up to the switch record's end
    double m_nextNoiseMs = 0;
    bool m_wasLate = false;
};

}  // namespace kx::test
