// What the builder does with input it cannot send faithfully: records that do not fit
// the packet buffer, and files that fail to read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packet_run.h"

namespace kx::test {
namespace {

// A record of exactly `size` bytes as sent (its line end not counted).
std::string Record(char type, std::size_t size) {
    std::string r = "S";
    r += type;
    r.append(size - 2, 'F');
    return r;
}

TEST(PacketBuilderLimits, RecordFillingTheWholeBufferFits) {
    const std::string text = Record('0', kPacketCapacity) + "\r\nS705\r\n";
    MemoryByteSource file(text);
    Transfer t;
    const BuildResult r = t.builder.Build(file);
    ASSERT_EQ(r.outcome, BuildOutcome::Packet);
    EXPECT_EQ(t.packetLen, kPacketCapacity);
    EXPECT_EQ(t.Packet(), Record('0', kPacketCapacity));
}

TEST(PacketBuilderLimits, RecordOneByteTooLongIsRefusedWhereItBegins) {
    const std::string text = "S00F\r\n\r\n" + Record('3', kPacketCapacity + 1) + "\r\nS705\r\n";
    MemoryByteSource file(text);
    Transfer t;
    ASSERT_EQ(t.builder.Build(file).outcome, BuildOutcome::Packet);

    const BuildResult r = t.builder.Build(file);
    EXPECT_EQ(r.outcome, BuildOutcome::RecordTooLong);
    EXPECT_EQ(r.recordOffset, 8u);
    EXPECT_EQ(r.recordLine, 3u);
    EXPECT_EQ(t.packetLen, 0);
}

// A record with no CR at all must not be read on to the end of the file.
TEST(PacketBuilderLimits, RecordWithoutCrStopsAtTheBufferEnd) {
    const std::string text = "S3" + std::string(3 * kPacketCapacity, 'A');
    MemoryByteSource file(text);
    Transfer t;
    EXPECT_EQ(t.builder.Build(file).outcome, BuildOutcome::RecordTooLong);
    EXPECT_LE(file.Consumed(), kPacketCapacity + 1);
}

// The line end is found wherever it falls against the scan's windows, whichever kind it
// is, and however far the other kind lies beyond it (a file of LF lines holds no CR at all).
TEST(PacketBuilderLimits, LineEndFoundAcrossScanWindows) {
    for (const std::size_t body : {0, 1, 255, 256, 257, 511, 512, 513, 1000, 5000}) {
        for (const std::string end : {"\r", "\n", "\r\n", "\n\r", "\nAAAA\r", "\rAAAA\n"}) {
            const std::string text = std::string(body, 'A') + end + std::string(700, 'B') + "\r";
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
            EXPECT_EQ(BytesBeforeLineEnd(bytes, text.size()), body)
                << body << " " << ::testing::PrintToString(end);
        }
        const std::string none(body, 'A');
        EXPECT_EQ(BytesBeforeLineEnd(reinterpret_cast<const std::uint8_t*>(none.data()), body),
                  body);
    }
}

// A switch record that cannot be sent leaves the transfer in its first stage.
TEST(PacketBuilderLimits, SwitchRecordTooLongChangesNoStage) {
    const std::string text = "Z" + std::string(kPacketCapacity, '1') + "\r\n";
    MemoryByteSource file(text);
    Transfer t;
    const BuildResult r = t.builder.Build(file);
    EXPECT_EQ(r.outcome, BuildOutcome::RecordTooLong);
    EXPECT_FALSE(r.switchAfter);
    EXPECT_TRUE(t.firstStage);
    EXPECT_FALSE(t.lastWasSwitch);
}

// 32 records of 142 bytes would need 4544: the 29th no longer fits.
TEST(PacketBuilderLimits, SecondStagePacketOutgrowingTheBuffer) {
    std::string text = "Z1\r\n";
    std::vector<std::size_t> offsets;
    for (int i = 0; i < 32; ++i) {
        offsets.push_back(text.size());
        text += Record('3', 142) + "\r\n";
    }
    MemoryByteSource file(text);
    Transfer t;
    ASSERT_TRUE(t.builder.Build(file).switchAfter);

    const BuildResult r = t.builder.Build(file);
    EXPECT_EQ(r.outcome, BuildOutcome::RecordTooLong);
    EXPECT_EQ(r.recordOffset, offsets[28]);
    EXPECT_EQ(r.recordLine, 30u);
    // The packet that outgrew the buffer: 29 records from line 2.
    EXPECT_EQ(r.packetLine, 2u);
    EXPECT_EQ(r.packetRecords, 29u);
    EXPECT_EQ(t.packetLen, 0);
    // The flags stay as the switch packet left them.
    EXPECT_TRUE(t.lastWasSwitch);
    EXPECT_FALSE(t.firstStage);
}

// A full buffer has no room even for the next record's first byte.
TEST(PacketBuilderLimits, FullBufferRefusesTheNextRecordStart) {
    const std::string text = "Z1\r\n" + Record('3', kPacketCapacity) + "\r\nS3AA\r\n";
    MemoryByteSource file(text);
    Transfer t;
    ASSERT_EQ(t.builder.Build(file).outcome, BuildOutcome::Packet);
    const BuildResult r = t.builder.Build(file);
    EXPECT_EQ(r.outcome, BuildOutcome::RecordTooLong);
    EXPECT_EQ(r.recordOffset, 4 + kPacketCapacity + 2);
}

struct ReadErrorCase {
    const char* name;
    std::uint64_t failAt;
    std::uint64_t expectedOffset;
    std::uint32_t expectedLine;
};

class PacketBuilderReadError : public ::testing::TestWithParam<ReadErrorCase> {};

// The second packet meets the failing read; "S00F\r\n" has gone out before it.
TEST_P(PacketBuilderReadError, RefusesThePacketAndKeepsTheStage) {
    const ReadErrorCase& c = GetParam();
    const std::string text = "S00F\r\nxx\r\nZ1AB\r\nS3AA\r\n";
    FailingByteSource file(text, c.failAt);
    Transfer t;
    ASSERT_EQ(t.builder.Build(file).outcome, BuildOutcome::Packet);

    const BuildResult r = t.builder.Build(file);
    EXPECT_EQ(r.outcome, BuildOutcome::ReadError);
    EXPECT_EQ(r.recordOffset, c.expectedOffset);
    EXPECT_EQ(r.recordLine, c.expectedLine);
    EXPECT_EQ(t.packetLen, 0);
    EXPECT_TRUE(t.firstStage);
    EXPECT_FALSE(t.lastWasSwitch);
}

INSTANTIATE_TEST_SUITE_P(AnyPlace, PacketBuilderReadError,
                         ::testing::Values(ReadErrorCase{"BetweenRecords", 8, 8, 2},
                                           ReadErrorCase{"AtTheTypeByte", 11, 10, 3},
                                           ReadErrorCase{"InsideTheRecord", 13, 10, 3}),
                         CaseName<ReadErrorCase>);

// The record ends at its CR: a read that fails on the byte after it fails the search for
// the next record, after the record has gone out.
TEST(PacketBuilderReadErrorAfterCr, FailsTheNextPacket) {
    const std::string text = "S00F\r\nxx\r\nZ1AB\r\nS3AA\r\n";
    FailingByteSource file(text, 15);
    Transfer t;
    ASSERT_EQ(t.builder.Build(file).outcome, BuildOutcome::Packet);
    const BuildResult sw = t.builder.Build(file);
    ASSERT_EQ(sw.outcome, BuildOutcome::Packet);
    EXPECT_EQ(t.Packet(), "Z1AB");
    const BuildResult r = t.builder.Build(file);
    EXPECT_EQ(r.outcome, BuildOutcome::ReadError);
    EXPECT_EQ(r.recordOffset, 15u);
    EXPECT_EQ(r.recordLine, 4u);
}

}  // namespace
}  // namespace kx::test
