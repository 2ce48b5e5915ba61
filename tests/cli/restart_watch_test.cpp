#include <gtest/gtest.h>

#include "restart_watch.h"

namespace kx::cli {
namespace {

const std::string kName = "DONGLE BOOT 1.3\r\n";  // the log when the transfer starts
const std::string kHeader = "\r\n\r\nKX ";

TEST(RestartWatch, TheHeaderEchoedAfterTheStartMeansTheDongleRestarted) {
    RestartWatch watch(kName.size());
    std::string log = kName;
    EXPECT_FALSE(watch.Seen(log));
    log += "PACKET 1\r\nREPEAT\r\n";
    EXPECT_FALSE(watch.Seen(log));
    log += kHeader + "DONGLE BOOT 1.3\r\n";
    EXPECT_TRUE(watch.Seen(log));
}

TEST(RestartWatch, AHeaderArrivingByteByByteIsFound) {
    RestartWatch watch(kName.size());
    std::string log = kName + "X";
    for (const char c : kHeader) {
        EXPECT_FALSE(watch.Seen(log));
        log.push_back(c);
    }
    EXPECT_TRUE(watch.Seen(log));
}

TEST(RestartWatch, TextBeforeTheStartAndNearMissesDoNotCount) {
    // The announcement that started the transfer is in the log already.
    const std::string before = kHeader + kName;
    RestartWatch watch(before.size());
    std::string log = before;
    EXPECT_FALSE(watch.Seen(log));
    // Its CR LF and a new "\r\nKX " do not make a header across the start.
    log += "\r\nKX ";
    EXPECT_FALSE(watch.Seen(log));
    log += "\r\n\r\nKY \r\n\r\nkx \r\nKX ";
    EXPECT_FALSE(watch.Seen(log));
}

TEST(RestartWatch, AClearedLogIsLookedAtFromItsStart) {
    RestartWatch watch(100);
    EXPECT_TRUE(watch.Seen(kHeader));
}

}  // namespace
}  // namespace kx::cli
