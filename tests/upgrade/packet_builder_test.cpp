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
    {"CrOnlyLinesEndRecords", "S0AA\rS1BB\rS2CC\rS3DD\r", {{"S0AA"}, {"S1BB"}, {"S2CC"}, {"S3DD"}}},
    {"LfOnlyLinesEndRecords", "S0AA\nS1BB\nS2CC\r\n", {{"S0AA"}, {"S1BB"}, {"S2CC"}}},
    {"MixedLineEnds", "S0AA\r\r\nS1BB\n\rS2CC\n\nS3DD", {{"S0AA"}, {"S1BB"}, {"S2CC"}, {"S3DD"}}},
    // The byte after the CR goes with the next line unless it is the LF.
    {"RecordRightAfterCr", "S0AA\rS1BB\rZ1\r", {{"S0AA"}, {"S1BB"}, {"Z1", true}}},
    {"LineOfOnlyS", "S\r\nS1BB\r\nS2CC\r\n", {{"S\r"}, {"S1BB"}, {"S2CC"}}},
    {"LineOfOnlyZ",
     "S00F\r\nZ\r\nS3AA\r\nS3BB\r\nS705\r\n",
     {{"S00F"}, {"Z\r", true}, {"S3AAS3BBS705"}}},
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
     {{"Z1", true}, {"S3AAS\r"}, {"S3BBS3CC"}}},
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
    // No record is dropped at end of file: without a termination record to end it, the
    // last packet still goes out with every record gathered into it.
    {"FortyS3WithoutTermination",
     "S00F\r\nZ1\r\n" + S3Lines(0, 40) + "\r\n",
     {{"S00F"}, {"Z1", true}, {S3Packet(0, 32)}, {S3Packet(32, 8)}}},
};
INSTANTIATE_TEST_SUITE_P(SecondStage, PacketsFromFile, ::testing::ValuesIn(kSecondStageCases),
                         CaseName<FileCase>);

// With CR LF lines, no stray bytes and no switch record, every packet is one line less
// its two-byte line end: the bytes consumed after each packet (the dialog's progress) are
// the lengths sent so far plus 2 per packet, and end at the file's length.
TEST(PacketBuilder, SingleLinePacketsAccountForEveryByte) {
    const std::string text = "S00F0000\r\n" + S3Lines(0, 50) + "S70500000000FA\r\n";
    MemoryByteSource file(text);
    Transfer t;
    std::size_t total = 0;
    std::size_t packets = 0;
    while (t.builder.Build(file).outcome == BuildOutcome::Packet) {
        total += t.packetLen + 2u;
        ++packets;
        EXPECT_EQ(file.Consumed(), total);
    }
    EXPECT_EQ(packets, 52u);
    EXPECT_EQ(total, text.size());
}

// A file whose lines end in LF alone, or in CR alone, goes out exactly as its CR LF twin,
// and its lines are counted the same.
TEST(PacketBuilder, LineEndTwinsSendTheSameBytes) {
    const std::string crlf = "S00F\r\nS3AB\r\n\r\nnote\r\nZ1\r\n" + S3Lines(0, 40) + "S705\r\n";
    std::vector<Sent> expected;
    std::vector<std::uint32_t> expectedLines;
    for (const char* lineEnd : {"\r\n", "\n", "\r"}) {
        std::string text;
        for (const char c : crlf) {
            if (c == '\r') {
                text += lineEnd;
            } else if (c != '\n') {
                text += c;
            }
        }
        MemoryByteSource file(text);
        Transfer t;
        std::vector<Sent> sent;
        std::vector<std::uint32_t> lines;
        for (BuildResult r = t.builder.Build(file); r.outcome == BuildOutcome::Packet;
             r = t.builder.Build(file)) {
            sent.push_back({t.Packet(), r.switchAfter});
            lines.push_back(r.recordLine);
        }
        EXPECT_EQ(file.Consumed(), text.size());
        if (expected.empty()) {
            expected = sent;
            expectedLines = lines;
            ASSERT_EQ(sent.size(), 5u);
        }
        EXPECT_EQ(sent, expected) << ::testing::PrintToString(lineEnd);
        EXPECT_EQ(lines, expectedLines) << ::testing::PrintToString(lineEnd);
    }
    EXPECT_EQ(expectedLines, (std::vector<std::uint32_t>{1, 2, 5, 6, 38}));
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
    const std::string text = "\r\nnote\r\nS00F\r\nS3AA\nS3BB\rS3CC\r\n";
    MemoryByteSource file(text);
    Transfer t;

    const BuildResult first = t.builder.Build(file);
    EXPECT_EQ(first.recordOffset, 8u);
    EXPECT_EQ(first.recordLine, 3u);
    // An LF alone and a CR alone each end a line.
    const BuildResult second = t.builder.Build(file);
    EXPECT_EQ(t.Packet(), "S3AA");
    EXPECT_EQ(second.recordOffset, 14u);
    EXPECT_EQ(second.recordLine, 4u);
    const BuildResult third = t.builder.Build(file);
    EXPECT_EQ(t.Packet(), "S3BB");
    EXPECT_EQ(third.recordOffset, 19u);
    EXPECT_EQ(third.recordLine, 5u);
    EXPECT_EQ(t.builder.Build(file).recordLine, 6u);

    MemoryByteSource again(text);
    t.builder.Restart();
    EXPECT_EQ(t.builder.Build(again).recordLine, 3u);
}

}  // namespace
}  // namespace kx::test
