#include "firmware_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "packet_builder.h"
#include "packet_run.h"

namespace kx::test {
namespace {

// A well-formed S record of `type` at `address` holding `data`, without its line end;
// `checksumOffBy` spoils its checksum.
std::string SRec(char type, std::uint32_t address, const std::vector<std::uint8_t>& data = {},
                 int checksumOffBy = 0) {
    const int addressBytes = type == '2' || type == '6' || type == '8' ? 3
                             : type == '3' || type == '7'              ? 4
                                                                       : 2;
    std::vector<std::uint8_t> bytes;
    bytes.push_back(static_cast<std::uint8_t>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        bytes.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (const std::uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<std::uint8_t>(~sum + static_cast<unsigned>(checksumOffBy)));
    std::string out = "S";
    out += type;
    for (const std::uint8_t b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        out += hex;
    }
    return out;
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

const std::string kHeader = SRec('0', 0, {'K', 'X', ' ', '1'});
const std::string kEnd = SRec('7', 0);
// The switch record and the termination record: the end of a file whose data may go.
const std::string kSwitchEnd = "Z0030000FC\r\n" + kEnd;
const std::string kNoSwitch = "no switch record (Z line): the dongle would take none of its data";
// The switch record, data and the termination record after a case's own lines, so that the
// file is whole.
const std::string kTail = SRec('1', 0xF000, {0xF0}) + "\r\n" + kSwitchEnd + "\r\n";
const std::string kCutShort = "no termination record (S7/S8/S9): the file may have been cut short";
const std::string kNoData = "no data records (S1/S2/S3): the file holds nothing to write";

struct CheckCase {
    const char* name;
    std::string text;
    std::vector<std::pair<std::uint32_t, std::string>> findings;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class FirmwareCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(FirmwareCheck, FindsEachProblemOnItsLine) {
    const CheckCase& c = GetParam();
    const ImageCheck check = CheckImage(Bytes(c.text));
    std::vector<std::pair<std::uint32_t, std::string>> found;
    for (const CheckFinding& f : check.findings) {
        found.emplace_back(f.line, f.problem);
    }
    EXPECT_EQ(found, c.findings);
    EXPECT_EQ(check.Sendable(), c.findings.empty());
}

const CheckCase kCases[] = {
    {"WellFormedFile",
     kHeader + "\r\n" + SRec('3', 0x100, {1, 2, 3}) + "\r\nZ1\r\n" + SRec('3', 0x103, {4}) +
         "\r\n" + SRec('5', 2) + "\r\n" + kEnd + "\r\n",
     {}},
    // What the sender has always passed over, or sent as it stands, still goes: blank lines
    // and text without record starts anywhere, after the termination record too.
    {"BlankLinesAndStrayTextWithoutRecordStarts",
     "\r\n# built 1.0\r\n" + kHeader + "\r\n\r\nnotes: abc\r\n" + kTail + "\r\n# end\r\n\r\n",
     {}},
    {"NoSwitchRecord",
     kHeader + "\r\n" + SRec('1', 0, {1}) + "\r\n" + SRec('7', 0),
     {{3, kNoSwitch}}},
    {"SecondZLine", "Z1\r\n" + SRec('3', 0, {1}) + "\r\nZ2\r\n" + kEnd + "\r\n", {}},
    {"LowerCaseHexDigits", "S1030000fc\r\n" + kSwitchEnd + "\r\n", {}},
    {"LfAndCrLineEnds", kHeader + "\n" + SRec('1', 0, {1}) + "\r" + kSwitchEnd + "\n", {}},
    {"IdenticalBytesWrittenTwice",
     SRec('1', 0x10, {1, 2, 3}) + "\r\n" + SRec('1', 0x11, {2, 3, 4}) + "\r\n" + kSwitchEnd,
     {}},
    {"S2DataEndedByS8", "Z1\r\n" + SRec('2', 0x10000, {1}) + "\r\n" + SRec('8', 0) + "\r\n", {}},
    {"S1DataEndedByS9", "Z1\r\n" + SRec('1', 0x100, {1}) + "\r\n" + SRec('9', 0) + "\r\n", {}},

    {"EmptyFile", "", {{0, "no records"}}},
    {"TextWithoutRecords", "hello world\r\nlower s and z\r\n", {{0, "no records"}}},
    {"ChecksumMismatch",
     kHeader + "\r\n" + SRec('1', 0, {0xAA}, 1) + "\r\n" + kSwitchEnd + "\r\n",
     {{2, "checksum mismatch: the record says 0x52, its bytes give 0x51"}}},
    {"NotAHexDigit", "S1030000GC\r\n" + kTail, {{1, "'G' is not a hexadecimal digit"}}},
    {"TrailingBlankIsNotHex", "S1030000FC \r\n" + kTail, {{1, "' ' is not a hexadecimal digit"}}},
    {"OddDigitCount", "S1030000FC0\r\n" + kTail, {{1, "odd number of hexadecimal digits"}}},
    {"CountTooLarge",
     "S1050000FC\r\n" + kTail,
     {{1, "byte count 5 does not match the 3 bytes that follow it"}}},
    {"CountTooSmallForAddress",
     "S1020000\r\n" + kTail,
     {{1, "byte count 2 is too small for a 2-byte address and the checksum"}}},
    {"NoCount", "S1\r\n" + kTail, {{1, "no byte count"}}},
    {"UnknownTypeDigit", "S4030000FC\r\n" + kTail, {{1, "unknown record type '4'"}}},
    {"UpperSInTextIsARecord", "See notes\r\n" + kTail, {{1, "unknown record type 'e'"}}},
    {"LineOfOnlyS", "S\r\n" + kTail, {{1, "unknown record type 0x0D"}}},
    {"ZInsideALineBeforeTheSwitch",
     "# Zone 2\r\nZ1\r\n" + kTail,
     {{1, "a 'Z' inside a line would be sent as the switch record"}}},
    {"DataRecordCountMismatch",
     SRec('1', 0, {1}) + "\r\n" + SRec('1', 1, {2}) + "\r\n" + SRec('5', 3) + "\r\n" + kSwitchEnd,
     {{3,
       "data record count mismatch: the record says 3, the file has 2 data records before "
       "it"}}},
    {"OverlapWithDifferentBytes",
     SRec('3', 0x1000, {1, 2, 3, 4}) + "\r\n" + kHeader + "\r\n" + SRec('3', 0x1002, {3, 9}) +
         "\r\n" + kSwitchEnd,
     {{3,
       "data overlaps line 1 with different bytes: address 0x00001003 gets 0x09 here and "
       "0x04 there"}}},
    {"OverlapFoundWhenTheLaterRecordHasTheLowerAddress",
     SRec('2', 0x20, {7, 7}) + "\r\n" + SRec('2', 0x1F, {7, 8}) + "\r\n" + kSwitchEnd,
     {{2,
       "data overlaps line 1 with different bytes: address 0x00000020 gets 0x08 here and "
       "0x07 there"}}},
    // The other line is the one whose bytes the address holds: the first record, in
    // address order, that covers it, anywhere in a run of records.
    {"OverlapNamesTheLineThatWroteTheByte",
     SRec('1', 0x100, {1, 2, 3, 4}) + "\r\n" + SRec('1', 0x104, {5, 6, 7, 8}) + "\r\n" +
         SRec('1', 0x106, {7, 8, 9, 10}) + "\r\n" + SRec('1', 0x107, {0x88}) + "\r\n" +
         SRec('1', 0x109, {0x99}) + "\r\n" + kSwitchEnd,
     {{4,
       "data overlaps line 2 with different bytes: address 0x00000107 gets 0x88 here and "
       "0x08 there"},
      {5,
       "data overlaps line 3 with different bytes: address 0x00000109 gets 0x99 here and "
       "0x0A there"}}},
    // Every problem is reported, in line order, with the line counted across line ends of
    // every kind.
    {"SeveralProblems",
     "S1030000FD\nS1030000FC\rS1030000FB\r\n" + kSwitchEnd,
     {{1, "checksum mismatch: the record says 0xFD, its bytes give 0xFC"},
      {3, "checksum mismatch: the record says 0xFB, its bytes give 0xFC"}}},

    // A whole file or nothing: a file of good records is refused when it was cut short,
    // holds nothing to write, or runs on after its end.
    {"CutShortAtALineEnd",
     kHeader + "\r\nZ1\r\n" + SRec('3', 0, {1}) + "\r\n" + SRec('3', 1, {2}) + "\r\n\r\n",
     {{4, kCutShort}}},
    {"CutShortInsideARecord",
     kHeader + "\r\nZ1\r\n" + SRec('3', 0, {1}) + "\r\nS3080000",
     {{4, kCutShort}, {4, "byte count 8 does not match the 2 bytes that follow it"}}},
    {"SAtEndOfFile",
     "Z1\r\n" + SRec('1', 0, {1}) + "\r\nS",
     {{3, kCutShort}, {3, "record ends after its 'S'"}}},
    {"EndedByACountRecord",
     "Z1\r\n" + SRec('1', 0, {1}) + "\r\n" + SRec('5', 1) + "\r\n",
     {{3, kCutShort}}},
    {"HeaderAndSwitchOnly", kHeader + "\r\nZ1\r\n", {{0, kNoData}, {2, kCutShort}}},
    {"TerminationWithoutData", kHeader + "\r\nZ1\r\n" + kEnd + "\r\n", {{0, kNoData}}},
    {"TwoFilesRunTogether",
     kHeader + "\r\nZ1\r\n" + SRec('3', 0, {1}) + "\r\n" + kEnd + "\r\n" + kHeader + "\r\nZ1\r\n" +
         SRec('3', 0, {1}) + "\r\n" + kEnd + "\r\n",
     {{5,
       "record after the termination record of line 4: the file may be two files run "
       "together"}}},
    {"TextWithAnSAfterTheEnd",
     SRec('1', 0, {1}) + "\r\n" + kSwitchEnd + "\r\nSee notes\r\n",
     {{4,
       "record after the termination record of line 3: the file may be two files run "
       "together"},
      {4, "unknown record type 'e'"}}},
};
INSTANTIATE_TEST_SUITE_P(Cases, FirmwareCheck, ::testing::ValuesIn(kCases), CaseName<CheckCase>);

// 32 records of 132 bytes make a packet of 4224 bytes: the packet is named, not a record.
TEST(FirmwareCheckPackets, PacketOutgrowingTheBufferIsNamed) {
    std::string text = "Z1\r\n";
    for (std::uint32_t i = 0; i < 32; ++i) {
        text += SRec('3', i * 59, std::vector<std::uint8_t>(59, 0x5A)) + "\r\n";
    }
    text += kEnd + "\r\n";
    ASSERT_EQ(SRec('3', 0, std::vector<std::uint8_t>(59, 0)).size(), 132u);
    const ImageCheck check = CheckImage(Bytes(text));
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].line, 2u);
    EXPECT_EQ(check.findings[0].problem,
              "packet of 32 records (lines 2 to 33) is 4224 bytes, more than the 4096-byte "
              "packet buffer");

    // The builder refuses that same packet when it is not checked first.
    MemoryByteSource file(text);
    Transfer t;
    std::vector<Sent> sent;
    const BuildResult r = t.BuildAll(file, sent);
    EXPECT_EQ(r.outcome, BuildOutcome::RecordTooLong);
    EXPECT_EQ(r.packetLine, 2u);
}

// The builder lets any record of type byte '3' share a packet, a second-stage `Z3` line
// among them; the check counts the packets the same way.
TEST(FirmwareCheckPackets, CountedByTheTypeByteAsTheBuilderDoes) {
    const std::string text =
        "Z1\r\n" + SRec('3', 0, {1}) + "\r\nZ3AA\r\n" + SRec('3', 1, {2}) + "\r\n" + kEnd + "\r\n";
    const ImageCheck check = CheckImage(Bytes(text));
    EXPECT_TRUE(check.Sendable());
    EXPECT_EQ(check.firstStagePackets, 1u);
    EXPECT_EQ(check.secondStagePackets, 1u);
    MemoryByteSource file(text);
    Transfer t;
    std::vector<Sent> sent;
    ASSERT_EQ(t.BuildAll(file, sent).outcome, BuildOutcome::EndOfFile);
    EXPECT_EQ(sent.size(), 2u);
}

TEST(FirmwareCheckPackets, RecordLongerThanThePacketBuffer) {
    const std::string text = "S00F" + std::string(kPacketCapacity, 'F') + "\r\n" + kTail;
    const ImageCheck check = CheckImage(Bytes(text));
    ASSERT_EQ(check.findings.size(), 2u);
    EXPECT_EQ(check.findings[0].problem,
              "record of 4100 bytes does not fit in the 4096-byte packet buffer");
    EXPECT_EQ(check.findings[1].problem,
              "byte count 15 does not match the 2048 bytes that follow it");
}

// A long record's digits are read many at a time: every byte value, at every place in
// one, reads as the same digit, or is named as no digit, as it would be alone.
TEST(FirmwareCheckDigits, EveryByteValueAnywhereInALongRecord) {
    const std::string good = SRec('3', 0x1234ABCD, std::vector<std::uint8_t>(15, 0xE5));
    for (int c = 0; c < 256; ++c) {
        if (c == '\r' || c == '\n') {
            continue;
        }
        const bool digit = std::isxdigit(c) != 0;
        char shown[8];
        std::snprintf(shown, sizeof shown, c >= 0x20 && c < 0x7F ? "'%c'" : "0x%02X", c);
        for (std::size_t at = 2; at < good.size(); ++at) {
            std::string line = good;
            line[at] = static_cast<char>(c);
            const ImageCheck check = CheckImage(Bytes(line + "\r\n" + kTail));
            const bool found = !check.findings.empty() && check.findings[0].line == 1;
            const bool sameDigit = std::tolower(c) == std::tolower(good[at]);
            if (!digit) {
                ASSERT_TRUE(found) << c << " at " << at;
                EXPECT_EQ(check.findings[0].problem,
                          std::string(shown) + " is not a hexadecimal digit")
                    << at;
            } else if (sameDigit) {
                EXPECT_TRUE(check.Sendable()) << c << " at " << at;
            } else {
                ASSERT_TRUE(found) << c << " at " << at;
                EXPECT_EQ(check.findings[0].problem.find("not a hexadecimal"), std::string::npos)
                    << c << " at " << at;
            }
        }
    }
    // Every byte value, in upper and in lower case.
    std::string upper;
    for (int first = 0; first < 256; first += 125) {
        std::vector<std::uint8_t> data;
        for (int b = first; b < std::min(first + 125, 256); ++b) {
            data.push_back(static_cast<std::uint8_t>(b));
        }
        upper += SRec('3', static_cast<std::uint32_t>(first), data) + "\r\n";
    }
    std::string lower = upper;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        if (lower[i] != 'S' && (i == 0 || lower[i - 1] != 'S')) {
            lower[i] = static_cast<char>(std::tolower(lower[i]));
        }
    }
    EXPECT_TRUE(CheckImage(Bytes(upper + kSwitchEnd)).Sendable());
    EXPECT_TRUE(CheckImage(Bytes(lower + kSwitchEnd)).Sendable());
    EXPECT_NE(lower, upper);
}

// Far into a file, after the records the check no longer holds: a packet outgrowing the
// buffer and then a record that could never fit are named by their own lines.
TEST(FirmwareCheckPackets, LatePacketsOutgrowingTheBufferNameTheirLines) {
    std::string text = "Z1\r\n";
    for (std::uint32_t i = 0; i < 320; ++i) {  // lines 2 to 321: ten full packets
        text += SRec('3', i, {0x11}) + "\r\n";
    }
    for (std::uint32_t i = 0; i < 32; ++i) {  // lines 322 to 353: 4224 bytes
        text += SRec('3', 0x1000 + i * 59, std::vector<std::uint8_t>(59, 0x5A)) + "\r\n";
    }
    text += SRec('3', 0x2000, {1}) + "\r\n" + SRec('3', 0x2001, {2}) + "\r\n";
    text += "S3" + std::string(4200, '0') + "\r\n" + kEnd + "\r\n";  // line 356, then 357
    const ImageCheck check = CheckImage(Bytes(text));
    std::vector<std::pair<std::uint32_t, std::string>> found;
    for (const CheckFinding& f : check.findings) {
        found.emplace_back(f.line, f.problem);
    }
    const std::vector<std::pair<std::uint32_t, std::string>> expected = {
        {322,
         "packet of 32 records (lines 322 to 353) is 4224 bytes, more than the 4096-byte "
         "packet buffer"},
        {354,
         "packet of 3 records (lines 354 to 356) is 4234 bytes, more than the 4096-byte "
         "packet buffer"},
        {356, "byte count 0 does not match the 2099 bytes that follow it"}};
    EXPECT_EQ(found, expected);
}

// An image in address order for hundreds of records, then one record back over an early
// one: the overlap is still found against the early line, and the ranges are as before.
TEST(FirmwareCheckOverlaps, RecordGoingBackLateFindsTheEarlyLine) {
    std::string text = "Z1\r\n";
    for (std::uint32_t i = 0; i < 200; ++i) {  // line 2 + i writes i four times from 0x1000 + 4i
        const auto b = static_cast<std::uint8_t>(i);
        text += SRec('3', 0x1000 + 4 * i, {b, b, b, b}) + "\r\n";
    }
    text += SRec('3', 0x1000 + 4 * 50 + 1, {50, 0xEE}) + "\r\n";  // line 202
    text += SRec('3', 0x2000, {1}) + "\r\n" + kEnd + "\r\n";
    const ImageCheck check = CheckImage(Bytes(text));
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].line, 202u);
    EXPECT_EQ(check.findings[0].problem,
              "data overlaps line 52 with different bytes: address 0x000010CA gets 0xEE here and "
              "0x32 there");
    ASSERT_EQ(check.ranges.size(), 2u);
    EXPECT_EQ(check.ranges[0].first, 0x1000u);
    EXPECT_EQ(check.ranges[0].last, 0x131Fu);
    EXPECT_EQ(check.ranges[1].first, 0x2000u);
    EXPECT_EQ(check.imageBytes, 801u);
}

// Seventy records from one address, each a byte longer, then one that differs from them far
// along: the owners the sweep has left behind are dropped, and the byte is still checked
// against the record that wrote it.
TEST(FirmwareCheckOverlaps, ManyOwnersLeftBehindStillNameTheOneThatWroteTheByte) {
    std::string text = "Z1\r\n";
    for (std::uint32_t n = 1; n <= 70; ++n) {  // line n + 1 writes 0x100 to 0x100 + n - 1
        std::vector<std::uint8_t> data;
        for (std::uint32_t a = 0x100; a < 0x100 + n; ++a) {
            data.push_back(static_cast<std::uint8_t>(a));
        }
        text += SRec('1', 0x100, data) + "\r\n";
    }
    text += SRec('1', 0x142, {0xBD, 0x43}) + "\r\n" + kEnd + "\r\n";  // line 72
    const ImageCheck check = CheckImage(Bytes(text));
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].line, 72u);
    EXPECT_EQ(check.findings[0].problem,
              "data overlaps line 68 with different bytes: address 0x00000142 gets 0xBD here and "
              "0x42 there");
}

// The summary: header, records per type, merged ranges, image size, and the packets each
// stage sends, counted as the builder sends them.
TEST(FirmwareCheckSummary, DescribesTheImage) {
    std::string text = kHeader + "\r\n" + SRec('3', 0x8000, {1, 2}) + "\r\nZ1\r\n";
    for (std::uint32_t i = 0; i < 40; ++i) {
        text += SRec('3', 0x10000 + 4 * i, {1, 2, 3, 4}) + "\r\n";
    }
    text += SRec('3', 0x8002, {3}) + "\r\n" + SRec('5', 42) + "\r\n" + kEnd + "\r\n";
    const ImageCheck check = CheckImage(Bytes(text));
    EXPECT_TRUE(check.Sendable());
    EXPECT_EQ(check.header, "KX 1");
    EXPECT_EQ(check.sRecords[0], 1u);
    EXPECT_EQ(check.sRecords[3], 42u);
    EXPECT_EQ(check.sRecords[5], 1u);
    EXPECT_EQ(check.sRecords[7], 1u);
    EXPECT_EQ(check.zRecords, 1u);
    ASSERT_EQ(check.ranges.size(), 2u);
    EXPECT_EQ(check.ranges[0].first, 0x8000u);
    EXPECT_EQ(check.ranges[0].last, 0x8002u);
    EXPECT_EQ(check.ranges[1].first, 0x10000u);
    EXPECT_EQ(check.ranges[1].last, 0x1009Fu);
    EXPECT_EQ(check.imageBytes, 3u + 160u);
    EXPECT_EQ(check.terminationLine, 46u);
    EXPECT_EQ(check.terminationType, 7);

    MemoryByteSource file(text);
    Transfer t;
    std::vector<Sent> sent;
    ASSERT_EQ(t.BuildAll(file, sent).outcome, BuildOutcome::EndOfFile);
    std::uint64_t firstBytes = 0, secondBytes = 0;
    std::uint32_t firstPackets = 0;
    bool second = false;
    for (const Sent& s : sent) {
        (second ? secondBytes : firstBytes) += s.bytes.size();
        firstPackets += second ? 0 : 1;
        second = second || s.switchAfter;
    }
    EXPECT_EQ(check.firstStagePackets, firstPackets);
    EXPECT_EQ(check.firstStagePackets, 3u);
    EXPECT_EQ(check.secondStagePackets, sent.size() - firstPackets);
    EXPECT_EQ(check.firstStageBytes, firstBytes);
    EXPECT_EQ(check.secondStageBytes, secondBytes);
}

}  // namespace
}  // namespace kx::test
