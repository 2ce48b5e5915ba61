// A dongle that refuses the file's header record (another device id) answers 0xD5 at once,
// and once more after the switch record, then starts over. A host that gets the processor
// back late after the switch record has purged the second answer with its link change:
// the first one must still decide. On the dongle's clock, so every run is the same run.
#include <gtest/gtest.h>

#include "string_table.h"
#include "sweep_harness.h"

namespace kx::test {
namespace {

TEST(Refusal, AnIdMismatchIsHeardEvenByAHostLateAfterTheSwitch) {
    SweepHarness harness;
    for (Face face : {Face::Window, Face::Flasher}) {
        for (int lateMs : {0, 60, 500}) {
            SweepCase c;
            c.face = face;
            c.otherDeviceId = true;
            c.announceOnce = true;
            c.lateAfterSwitchMs = lateMs;
            const RunResult run = harness.Run(c, 0);
            EXPECT_EQ(run.outcome, Outcome::Aborted) << Describe(c) << ": " << run.problem;
            EXPECT_EQ(run.reason, text::kIdMismatch) << Describe(c) << ": " << run.problem;
        }
    }
}

}  // namespace
}  // namespace kx::test
