// Noise where the host waits for the dongle's answer to the switch record: a dongle heard
// at the wrong rate (one that did not take the record and announces itself at the command
// rate while the host listens at the bulk rate) arrives as a stream of bytes that mean
// nothing. They are no sign of life: the wait for the answer runs out as on a silent
// line, the probes follow, and so does kxupgrade's --timeout. On the dongle's clock, so
// every run is the same run.
#include <gtest/gtest.h>

#include <chrono>

#include "string_table.h"
#include "sweep_harness.h"

namespace kx::test {
namespace {

using namespace std::chrono_literals;

TEST(LineNoise, NoiseInsteadOfAnAnswerEndsInTheProbesVerdict) {
    SweepHarness harness;
    for (Face face : {Face::Window, Face::Flasher}) {
        SweepCase c;
        c.face = face;
        c.noiseForAnswer = true;
        const RunResult run = harness.Run(c, 0);
        EXPECT_EQ(run.outcome, Outcome::Aborted) << Describe(c) << ": " << run.problem;
        EXPECT_EQ(run.reason, text::kNoAnswerAfterReturn) << Describe(c) << ": " << run.problem;
    }
}

TEST(LineNoise, NoiseInsteadOfAnAnswerEndsTheFlasherOnItsTimeout) {
    SweepHarness harness;
    SweepCase c;
    c.face = Face::Flasher;
    c.noiseForAnswer = true;
    c.timeout = 20s;
    const RunResult run = harness.Run(c, 0);
    EXPECT_EQ(run.outcome, Outcome::Aborted) << run.problem;
    EXPECT_EQ(run.reason, "NO PROGRESS FOR 20 SECONDS: TRANSFER GIVEN UP") << run.problem;
}

}  // namespace
}  // namespace kx::test
