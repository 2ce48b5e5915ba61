#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "packet_run.h"

namespace kx::test {
namespace {

// `count` S3 records numbered from `first`: each "S3" plus two hex digits.
std::string S3Records(int first, int count, const char* lineEnd) {
    std::string out;
    for (int i = first; i < first + count; ++i) {
        char rec[8];
        std::snprintf(rec, sizeof rec, "S3%02X", i);
        out += rec;
        out += lineEnd;
    }
    return out;
}
std::string S3Lines(int first, int count) {
    return S3Records(first, count, "\r\n");
}
std::string S3Packet(int first, int count) {
    return S3Records(first, count, "");
}

struct FileCase {
    const char* name;
    std::string text;
    std::vector<Sent> expected;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class PacketsFromFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(PacketsFromFile, GoOutAsExpectedThenEndOfFile) {
    const FileCase& c = GetParam();
    MemoryByteSource file(c.text);
    Transfer t;
    std::vector<Sent> sent;
    const BuildResult last = t.BuildAll(file, sent);

    EXPECT_EQ(last.outcome, BuildOutcome::EndOfFile);
    EXPECT_EQ(t.packetLen, 0);
    EXPECT_EQ(sent, c.expected);
    EXPECT_EQ(file.Consumed(), c.text.size());
    // Once at end of file it stays there.
    EXPECT_EQ(t.builder.Build(file).outcome, BuildOutcome::EndOfFile);
}

const FileCase kFirstStageCases[] = {
    {"EmptyFile", "", {}},
    {"NoRecordStartAtAll", "hello world\r\nabc 123\r\nlower s and z\r\n", {}},
    {"NoSwitchRecord",
     "S00F\r\nS3AB\r\nS3CD\r\nS705\r\n",
     {{"S00F"}, {"S3AB"}, {"S3CD"}, {"S705"}}},
    {"BlankLinesSkipped", "\r\n\r\nS00F\r\n\r\n\r\nS3AB\r\n\r\n", {{"S00F"}, {"S3AB"}}},
    {"StrayTextSkipped", "header 1.0\r\nS00F\r\n# 12 ab;\r\nS3AB\r\ntrailer", {{"S00F"}, {"S3AB"}}},
    {"LowerCaseStartsNothing", "s00f\r\nz1\r\nS3AB\r\n", {{"S3AB"}}},
    {"UpperSInsideTextStartsRecord", "see S-record\r\nS3AB\r\n", {{"S-record"}, {"S3AB"}}},
    {"UpperZInsideTextIsTheSwitch", "a Zone\r\nS3AB\r\nS3CD\r\n", {{"Zone", true}, {"S3ABS3CD"}}},
    {"CrOnlyLinesLoseEverySecondLine", "S0AA\rS1BB\rS2CC\rS3DD\r", {{"S0AA"}, {"S2CC"}}},
    {"LfOnlyLinesRunOnToTheCr", "S0AA\nS1BB\nS2CC\r\n", {{"S0AA\nS1BB\nS2CC"}}},
    {"LineOfOnlyS", "S\r\nS1BB\r\nS2CC\r\n", {{"S\r\nS1BB"}, {"S2CC"}}},
    {"LineOfOnlyZ",
     "S00F\r\nZ\r\nS3AA\r\nS3BB\r\nS705\r\n",
     {{"S00F"}, {"Z\r\nS3AA", true}, {"S3BBS705"}}},
    {"LastLineWithoutLineEnd", "S00F\r\nS3AB", {{"S00F"}, {"S3AB"}}},
    {"EndOfFileRightAfterS", "S00F\r\nS", {{"S00F"}, {"S"}}},
    {"EndOfFileRightAfterType", "S00F\r\nS3", {{"S00F"}, {"S3"}}},
    {"EndOfFileRightAfterCr", "S00F\r", {{"S00F"}}},
    {"BytesPassThroughUnchecked",
     std::string("S3\x00\xFFxyz\t\r\n", 10),
     {{std::string("S3\x00\xFFxyz\t", 8)}}},
};
INSTANTIATE_TEST_SUITE_P(FirstStage, PacketsFromFile, ::testing::ValuesIn(kFirstStageCases),
                         CaseName<FileCase>);

const FileCase kSecondStageCases[] = {
    {"GatheredRecordsAtEndOfFileStillGoOut",
     "Z1\r\nS3AA\r\nS3BB\r\n",
     {{"Z1", true}, {"S3AAS3BB"}}},
    {"GatheredRecordsBeforeUnendedLastLine", "Z1\r\nS3AA\r\nS3BB", {{"Z1", true}, {"S3AAS3BB"}}},
    {"NonS3RecordStartsAndEndsItsPacket",
     "Z1\r\nS0AA\r\nS3BB\r\nS1CC\r\nS3DD\r\n",
     {{"Z1", true}, {"S0AA"}, {"S3BBS1CC"}, {"S3DD"}}},
    {"SecondZIsAnOrdinaryRecord",
     "Z1\r\nS3AA\r\nZ3BB\r\nS3CC\r\nZ2\r\nS3DD\r\n",
     {{"Z1", true}, {"S3AAZ3BBS3CCZ2"}, {"S3DD"}}},
    {"CrAsTypeEndsThePacket",
     "Z1\r\nS3AA\r\nS\r\nS3BB\r\nS3CC\r\n",
     {{"Z1", true}, {"S3AAS\r\nS3BB"}, {"S3CC"}}},
    {"FortyS3ThenS7",
     "S00F\r\nZ1\r\n" + S3Lines(0, 40) + "S705\r\n",
     {{"S00F"}, {"Z1", true}, {S3Packet(0, 32)}, {S3Packet(32, 8) + "S705"}}},
    {"ThirtyTwoS3ThenS7",
     "Z1\r\n" + S3Lines(0, 32) + "S705\r\n",
     {{"Z1", true}, {S3Packet(0, 32)}, {"S705"}}},
    {"ThirtyOneS3ThenS7",
     "Z1\r\n" + S3Lines(0, 31) + "S705\r\n",
     {{"Z1", true}, {S3Packet(0, 31) + "S705"}}},
    {"ThirtyThreeS3", "Z1\r\n" + S3Lines(0, 33), {{"Z1", true}, {S3Packet(0, 32)}, {"S320"}}},
};
INSTANTIATE_TEST_SUITE_P(SecondStage, PacketsFromFile, ::testing::ValuesIn(kSecondStageCases),
                         CaseName<FileCase>);

// With CR LF lines, no stray bytes and no switch record, every packet is one line less
// its two-byte line end, so the dialog's progress (length + 2 per packet) ends at the
// file's length.
TEST(PacketBuilder, SingleLinePacketsAccountForEveryByte) {
    const std::string text = "S00F0000\r\n" + S3Lines(0, 50) + "S70500000000FA\r\n";
    MemoryByteSource file(text);
    Transfer t;
    std::vector<Sent> sent;
    ASSERT_EQ(t.BuildAll(file, sent).outcome, BuildOutcome::EndOfFile);
    std::size_t total = 0;
    for (const Sent& s : sent) {
        total += s.bytes.size() + 2;
    }
    EXPECT_EQ(sent.size(), 52u);
    EXPECT_EQ(total, text.size());
}

TEST(PacketBuilder, LastWasSwitchFollowsTheSwitchRecord) {
    const std::string text = "S00F\r\nZ1\r\nS3AA\r\nS705\r\n";
    MemoryByteSource file(text);
    Transfer t;

    ASSERT_EQ(t.builder.Build(file).outcome, BuildOutcome::Packet);  // S00F
    EXPECT_FALSE(t.lastWasSwitch);
    EXPECT_TRUE(t.firstStage);

    const BuildResult sw = t.builder.Build(file);
    ASSERT_EQ(sw.outcome, BuildOutcome::Packet);
    EXPECT_TRUE(sw.switchAfter);
    EXPECT_TRUE(t.lastWasSwitch);
    EXPECT_FALSE(t.firstStage);

    const BuildResult next = t.builder.Build(file);
    ASSERT_EQ(next.outcome, BuildOutcome::Packet);
    EXPECT_EQ(t.Packet(), "S3AAS705");
    EXPECT_FALSE(next.switchAfter);
    EXPECT_FALSE(t.lastWasSwitch);
    EXPECT_FALSE(t.firstStage);
}

// First-stage records leave the flag alone; only a new transfer clears it.
TEST(PacketBuilder, LastWasSwitchSurvivesFirstStageUntilRestart) {
    const std::string text = "S00F\r\nS3AA\r\n";
    MemoryByteSource file(text);
    Transfer t;
    t.lastWasSwitch = true;
    ASSERT_EQ(t.builder.Build(file).outcome, BuildOutcome::Packet);
    EXPECT_TRUE(t.lastWasSwitch);

    t.builder.Restart();
    EXPECT_FALSE(t.lastWasSwitch);
    EXPECT_EQ(t.packetLen, 0);
    EXPECT_TRUE(t.firstStage);
}

TEST(PacketBuilder, ReportsWhereEachPacketBegins) {
    const std::string text = "\r\nnote\r\nS00F\r\nS3AA\nS3BB\r\n";
    MemoryByteSource file(text);
    Transfer t;

    const BuildResult first = t.builder.Build(file);
    EXPECT_EQ(first.recordOffset, 8u);
    EXPECT_EQ(first.recordLine, 3u);
    // An LF inside a record still counts as a line.
    const BuildResult second = t.builder.Build(file);
    EXPECT_EQ(t.Packet(), "S3AA\nS3BB");
    EXPECT_EQ(second.recordOffset, 14u);
    EXPECT_EQ(second.recordLine, 4u);

    MemoryByteSource again(text);
    t.builder.Restart();
    EXPECT_EQ(t.builder.Build(again).recordLine, 3u);
}

}  // namespace
}  // namespace kx::test
