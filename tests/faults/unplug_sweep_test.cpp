// The dongle pulled out just before the k-th driver call of a whole upgrade, for every k up
// to the number of calls an undisturbed upgrade makes, and plugged in again, as users meet
// it: through the window's logic and through kxupgrade's; dongles that restart when the
// power comes back and self-powered ones that do not; away for 50 ms and for 3 s;
// announcing at once, 1.5 s or 4 s after power-up (and every 3 s while idle); a file with
// its Z line and one without. The dialog and the dongle run on the dongle's clock, which
// the test moves, so that seconds of waiting cost nothing and every run is repeatable; a
// slice runs in real time. Whatever k: no hang, no false completion, and every run ends in
// "Transfer completed" with the flash equal to the file or in "Transfer aborted" with a
// reason. Each sweep is cut into shards (k = shard + 1, shard + 1 + shards, ...) that
// CTest runs as entries of their own, side by side; KX_SWEEP_STRIDE thins it where every
// run is slow (sanitizers).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "sweep_harness.h"

namespace kx::test {
namespace {

// Shards on the simulated clock: eight, so that one of them stays within CTest's limit under
// Wine on a machine that runs two busy loops beside the suite. The real-time slice is short.
constexpr unsigned kSimulatedShards = 8;
constexpr unsigned kRealTimeShards = 4;

constexpr unsigned ShardsOf(bool simulatedTime) {
    return simulatedTime ? kSimulatedShards : kRealTimeShards;
}

struct SweepEntry {
    Face face;
    bool selfPowered;
    bool simulatedTime;
    unsigned shard;
};

void PrintTo(const SweepEntry& e, std::ostream* out) {
    *out << (e.face == Face::Window ? "window" : "kxupgrade")
         << (e.selfPowered ? ", self-powered" : ", restarting")
         << (e.simulatedTime ? "" : ", real time") << ", shard " << e.shard;
}

// The cases an entry sweeps: on the simulated clock every absence and announcement time;
// in real time (the dongle at unlimited speed) a short and a longer absence.
std::vector<SweepCase> CasesOf(const SweepEntry& e) {
    std::vector<SweepCase> cases;
    if (e.simulatedTime) {
        for (int absence : {50, 3000}) {
            for (int announce : {0, 1500, 4000}) {
                cases.push_back(
                    {e.face, e.selfPowered, absence, announce, true, false, std::nullopt});
            }
        }
    } else {
        for (int absence : {50, 500}) {
            cases.push_back({e.face, e.selfPowered, absence, 100, false, false, std::nullopt});
        }
    }
    return cases;
}

std::uint64_t Stride() {
    const char* text = std::getenv("KX_SWEEP_STRIDE");
    return text ? static_cast<std::uint64_t>(std::max(1, std::atoi(text))) : 1;
}

class UnplugSweep : public ::testing::TestWithParam<SweepEntry> {
  protected:
    SweepHarness harness;
};

TEST_P(UnplugSweep, EveryCallOfAWholeUpgrade) {
    const SweepEntry& e = GetParam();
    const std::uint64_t stride = Stride();
    for (const SweepCase& c : CasesOf(e)) {
        const std::string name = Describe(c);
        const RunResult clean = harness.Run(c, 0);
        // In real time the dongle's erase takes no time: a host that is late to switch its
        // link after the switch record misses the erase's reply, probes and resumes. That
        // is the right path, and the flash is checked all the same.
        const bool right = clean.outcome == Outcome::Completed ||
                           (!c.simulatedTime && clean.outcome == Outcome::Resumed);
        EXPECT_TRUE(right) << name << ", undisturbed: outcome " << static_cast<int>(clean.outcome)
                           << " " << clean.problem << " " << clean.reason;
        Tally tally;
        for (std::uint64_t k = 1 + e.shard * stride; k <= clean.calls;
             k += ShardsOf(e.simulatedTime) * stride) {
            tally.Add(k, harness.Run(c, k));
        }
        std::printf("%s, unplug before call k = %llu.. of %llu (every %llu): %s\n", name.c_str(),
                    static_cast<unsigned long long>(1 + e.shard * stride),
                    static_cast<unsigned long long>(clean.calls),
                    static_cast<unsigned long long>(ShardsOf(e.simulatedTime) * stride),
                    tally.Summary().c_str());
        std::fflush(stdout);
        EXPECT_EQ(tally.Failures(), 0u) << name << ": " << tally.Summary() << "\n"
                                        << tally.FirstFailures(8);
        // Some unplugs must land inside the transfer, or the sweep proved nothing.
        EXPECT_GT(tally.Count(Outcome::CompletedAfterRestart) + tally.Count(Outcome::Resumed), 0u)
            << name;
    }
}

std::vector<SweepEntry> AllEntries() {
    std::vector<SweepEntry> entries;
    for (Face face : {Face::Window, Face::Flasher}) {
        for (bool selfPowered : {false, true}) {
            for (unsigned shard = 0; shard < kSimulatedShards; ++shard) {
                entries.push_back({face, selfPowered, true, shard});
            }
        }
        // The slice in real time: a dongle that restarts, a file with its Z line.
        for (unsigned shard = 0; shard < kRealTimeShards; ++shard) {
            entries.push_back({face, false, false, shard});
        }
    }
    return entries;
}

INSTANTIATE_TEST_SUITE_P(Faults, UnplugSweep, ::testing::ValuesIn(AllEntries()),
                         [](const ::testing::TestParamInfo<SweepEntry>& p) {
                             const SweepEntry& e = p.param;
                             return std::string(e.face == Face::Window ? "Window" : "Kxupgrade") +
                                    (e.selfPowered ? "SelfPowered" : "Restarting") +
                                    (e.simulatedTime ? "" : "RealTime") + "Shard" +
                                    std::to_string(e.shard);
                         });

}  // namespace
}  // namespace kx::test
