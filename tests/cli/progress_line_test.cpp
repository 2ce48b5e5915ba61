#include <gtest/gtest.h>

#include "progress_line.h"

namespace kx::cli {
namespace {

TEST(ProgressLine, ShowsShareAmountRateAndTimeLeft) {
    // Half of 256 KiB in 4 s: 32 KiB/s, 4 s to go.
    EXPECT_EQ(FormatProgressLine(128 * 1024, 256 * 1024, 4.0),
              "[############------------]  50%  128.0/256.0 KiB  32.0 KiB/s  ETA 0:04");
}

TEST(ProgressLine, NoRateOrEtaBeforeAnythingWentOrWithoutTime) {
    EXPECT_EQ(FormatProgressLine(0, 1024, 3.0),
              "[------------------------]   0%  0.0/1.0 KiB  -- KiB/s  ETA --");
    EXPECT_EQ(FormatProgressLine(512, 1024, 0.0),
              "[############------------]  50%  0.5/1.0 KiB  -- KiB/s  ETA --");
}

TEST(ProgressLine, NeverPastFullNorBelowZeroTimeLeft) {
    // Multi-record packets count 2 bytes per packet, single records their CR LF: the
    // counter may end short of or past the file length.
    const std::string past = FormatProgressLine(1100, 1000, 1.0);
    EXPECT_EQ(past.substr(0, 31), "[########################] 100%");
    EXPECT_NE(past.find("ETA 0:00"), std::string::npos) << past;
    EXPECT_EQ(FormatProgressLine(0, 0, 0.0).substr(0, 31), "[########################] 100%");
    // 99.9 % is not rounded up to a full bar.
    EXPECT_EQ(FormatProgressLine(999, 1000, 1.0).substr(0, 31), "[#######################-]  99%");
}

TEST(ProgressLine, AStalledTransferPromisesNoTime) {
    // One byte in an hour leaves a million years: say nothing rather than that.
    const std::string line = FormatProgressLine(1, 1024 * 1024, 3600.0);
    EXPECT_NE(line.find("ETA --"), std::string::npos) << line;
}

TEST(ProgressLine, TheWindowsSummaryShowsTheSameFigures) {
    // The window's bar and the terminal's bar come from one set of figures.
    EXPECT_EQ(FormatRateSummary(FiguresOf(128 * 1024, 256 * 1024, 4.0)),
              "50%  32.0 KiB/s  0:04 left");
    EXPECT_EQ(FormatRateSummary(FiguresOf(0, 1024, 3.0)), "0%  -- KiB/s  -- left");
    EXPECT_EQ(FormatRateSummary(FiguresOf(999, 1000, 1.0)).substr(0, 4), "99% ");
    EXPECT_EQ(FormatRateSummary(FiguresOf(1100, 1000, 1.0)), "100%  1.1 KiB/s  0:00 left");
    EXPECT_EQ(FormatRateSummary(FiguresOf(1, 1024 * 1024, 3600.0)), "0%  0.0 KiB/s  -- left");
}

TEST(Duration, MinutesAndHours) {
    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(7.4), "0:07");
    EXPECT_EQ(FormatDuration(59.6), "1:00");
    EXPECT_EQ(FormatDuration(754), "12:34");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatDuration(-5), "0:00");
}

}  // namespace
}  // namespace kx::cli
