#include "announce_matcher.h"

#include <gtest/gtest.h>

#include <string>

namespace kx {
namespace {

const std::string kHeader = "\r\n\r\nKX ";
const std::string kTrailer = "\r\n\x11";

std::string Announcement(const std::string& name) {
    return kHeader + name + kTrailer;
}

// The matcher's state as the dialog keeps it, with the log applied as the dialog does.
struct Matcher {
    std::uint8_t state = 0;
    std::uint8_t index = 0;
    std::string name;
    std::string log = "earlier text\r\n";
    int requests = 0;

    MatchStep Feed(char c) {
        const MatchStep step = FeedAnnouncement(state, index, name, static_cast<std::uint8_t>(c));
        if (step.log == MatchLog::Cleared) {
            log.clear();
        } else if (step.log == MatchLog::NameAppended) {
            log += name + "\r\n";
        }
        requests += step.requestTransfer ? 1 : 0;
        return step;
    }
    void Feed(const std::string& bytes) {
        for (const char c : bytes) {
            Feed(c);
        }
    }
};

TEST(AnnounceMatcher, WellFormedAnnouncementStepByStep) {
    Matcher m;
    for (const char c : kHeader) {
        const MatchStep s = m.Feed(c);
        EXPECT_TRUE(s.progressToZero);
        EXPECT_EQ(s.log, MatchLog::Unchanged);
        EXPECT_FALSE(s.requestTransfer);
    }
    EXPECT_EQ(m.state, 1);
    for (const char c : std::string("Dongle 7")) {
        const MatchStep s = m.Feed(c);
        EXPECT_FALSE(s.progressToZero);
        EXPECT_EQ(s.log, MatchLog::Unchanged);
    }
    const MatchStep cr = m.Feed('\r');
    EXPECT_FALSE(cr.progressToZero);
    EXPECT_EQ(cr.log, MatchLog::Unchanged);

    const MatchStep lf = m.Feed('\n');
    EXPECT_TRUE(lf.progressToZero);
    EXPECT_EQ(lf.log, MatchLog::Cleared);
    EXPECT_FALSE(lf.requestTransfer);
    EXPECT_EQ(m.log, "");

    const MatchStep xon = m.Feed('\x11');
    EXPECT_TRUE(xon.progressToZero);
    EXPECT_EQ(xon.log, MatchLog::NameAppended);
    EXPECT_TRUE(xon.requestTransfer);
    EXPECT_EQ(m.name, "Dongle 7");
    EXPECT_EQ(m.log, "Dongle 7\r\n");
    EXPECT_EQ(m.state, 0);
    EXPECT_EQ(m.index, 0);
}

TEST(AnnounceMatcher, SplitAnywhereAcrossPasses) {
    const std::string a = Announcement("KX-2");
    for (std::size_t split = 1; split < a.size(); ++split) {
        SCOPED_TRACE(split);
        Matcher m;
        m.Feed(a.substr(0, split));
        EXPECT_EQ(m.requests, 0);
        m.Feed(a.substr(split));
        EXPECT_EQ(m.requests, 1);
        EXPECT_EQ(m.log, "KX-2\r\n");
    }
}

TEST(AnnounceMatcher, ZeroLengthName) {
    Matcher m;
    m.Feed(Announcement(""));
    EXPECT_EQ(m.requests, 1);
    EXPECT_EQ(m.name, "");
    EXPECT_EQ(m.log, "\r\n");
}

TEST(AnnounceMatcher, NameKeepsEveryByteButCr) {
    const std::string name("\x00\n\x11\xFF K\n\x11", 8);
    Matcher m;
    m.Feed(Announcement(name));
    EXPECT_EQ(m.requests, 1);
    EXPECT_EQ(m.name, name);
}

// The byte that breaks the header is not tried again as its first byte.
TEST(AnnounceMatcher, MismatchingCrIsNotRetried) {
    Matcher m;
    m.Feed("\r\n\r\r\n\r\nKX Dongle" + kTrailer);
    EXPECT_EQ(m.requests, 0);
    EXPECT_EQ(m.log, "earlier text\r\n");
    m.Feed(Announcement("Dongle"));
    EXPECT_EQ(m.requests, 1);
}

TEST(AnnounceMatcher, CrInsideNameFollowedByOtherThanLf) {
    Matcher m;
    m.Feed(kHeader + "AB\r");
    EXPECT_EQ(m.log, "earlier text\r\n");
    const MatchStep s = m.Feed('C');
    EXPECT_EQ(s.log, MatchLog::Cleared);
    EXPECT_TRUE(s.progressToZero);
    EXPECT_EQ(m.state, 0);
    EXPECT_EQ(m.index, 0);
    m.Feed("D" + kTrailer);
    EXPECT_EQ(m.requests, 0);
    EXPECT_EQ(m.log, "");
}

TEST(AnnounceMatcher, TrailerBrokenAtItsLastByte) {
    Matcher m;
    m.Feed(kHeader + "N\r\n");
    const MatchStep s = m.Feed('x');
    EXPECT_EQ(s.log, MatchLog::Cleared);
    EXPECT_EQ(m.requests, 0);
    EXPECT_EQ(m.state, 0);
    m.Feed(Announcement("N"));
    EXPECT_EQ(m.requests, 1);
}

// Bytes the device sent just before run on into the header, which then fails and is
// not retried; the next announcement is recognised.
class AnnouncementAfterText : public ::testing::TestWithParam<std::string> {};

TEST_P(AnnouncementAfterText, FirstIsMissedSecondIsRecognised) {
    Matcher m;
    m.Feed(GetParam() + Announcement("Dongle"));
    EXPECT_EQ(m.requests, 0);
    m.Feed(Announcement("Dongle"));
    EXPECT_EQ(m.requests, 1);
    EXPECT_EQ(m.log, "Dongle\r\n");
}

INSTANTIATE_TEST_SUITE_P(Prefixes, AnnouncementAfterText,
                         ::testing::Values("\r", "\r\n", "line\r\n",
                                           // cut off mid-name, as by a lost device
                                           "\r\n\r\nKX Don"));

TEST(AnnounceMatcher, StateOutOfRangeStartsOver) {
    Matcher m;
    m.state = 9;
    m.index = 200;
    m.Feed(Announcement("Dongle"));
    EXPECT_EQ(m.requests, 1);

    m.state = 0;
    m.index = 7;
    m.Feed(Announcement("Dongle"));
    EXPECT_EQ(m.requests, 2);
}

}  // namespace
}  // namespace kx
