#include "firmware_check.h"

#include <algorithm>
#include <cstdio>

#include "packet_builder.h"

namespace kx {
namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;

// A record as the packet builder frames it: its bytes as sent, without the line end.
struct Framed {
    std::size_t begin = 0, end = 0;  // offsets into the image
    std::uint32_t line = 0;
    bool atLineStart = false;
};

class Framer {
  public:
    explicit Framer(std::span<const std::uint8_t> image) : m_image(image) {}

    bool Next(Framed& record) {
        bool lineStart = m_pos == 0 || m_afterLineEnd;
        for (;;) {
            if (m_pos == m_image.size()) {
                return false;
            }
            const std::uint8_t b = m_image[m_pos];
            if (b == 'S' || b == 'Z') {
                break;
            }
            Consume();
            lineStart = m_afterLineEnd;
        }
        record.begin = m_pos;
        record.line = m_line;
        record.atLineStart = lineStart;
        Consume();  // the record's first byte
        if (m_pos == m_image.size()) {
            record.end = m_pos;
            return true;
        }
        Consume();  // the type byte, whatever it is
        // The body holds no line end: it moves no line count.
        if (const std::size_t body =
                BytesBeforeLineEnd(m_image.data() + m_pos, m_image.size() - m_pos);
            body > 0) {
            m_pos += body;
            m_afterCR = false;
            m_afterLineEnd = false;
        }
        for (;;) {
            if (m_pos == m_image.size()) {
                record.end = m_pos;
                return true;
            }
            const std::uint8_t b = m_image[m_pos];
            if (b == kCR || b == kLF) {
                record.end = m_pos;
                Consume();
                if (b == kCR && m_pos < m_image.size() && m_image[m_pos] == kLF) {
                    Consume();
                }
                return true;
            }
            Consume();
        }
    }

  private:
    void Consume() {
        const std::uint8_t b = m_image[m_pos++];
        if (b == kCR || (b == kLF && !m_afterCR)) {
            ++m_line;
        }
        m_afterCR = b == kCR;
        m_afterLineEnd = b == kCR || b == kLF;
    }

    std::span<const std::uint8_t> m_image;
    std::size_t m_pos = 0;
    std::uint32_t m_line = 1;
    bool m_afterCR = false;
    bool m_afterLineEnd = false;
};

std::string Shown(std::uint8_t b) {
    char text[8];
    if (b >= 0x20 && b < 0x7F) {
        std::snprintf(text, sizeof text, "'%c'", static_cast<char>(b));
    } else {
        std::snprintf(text, sizeof text, "0x%02X", b);
    }
    return text;
}

// Each byte's value as a hexadecimal digit, -1 for a byte that is none.
constexpr std::array<std::int8_t, 256> kHexValues = [] {
    std::array<std::int8_t, 256> values{};
    for (int c = 0; c < 256; ++c) {
        values[static_cast<std::size_t>(c)] =
            static_cast<std::int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                            : -1);
    }
    return values;
}();

int HexValue(std::uint8_t c) {
    return kHexValues[c];
}

// Bytes of the address field per type digit; 0 for a type that does not exist.
constexpr std::array<std::uint8_t, 10> kAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct Parsed {
    int type = -1;
    std::uint32_t address = 0;
    std::span<const std::uint8_t> data;  // into the bytes ParseS decoded the record into
};

std::string Format(const char* format, unsigned a, unsigned b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// An `S` record's fields, or the reason it is not well formed. The record's bytes are
// decoded into `bytes`, which one check reuses for every record.
bool ParseS(std::span<const std::uint8_t> record, std::vector<std::uint8_t>& bytes, Parsed& parsed,
            std::string& problem) {
    if (record.size() < 2) {
        problem = "record ends after its 'S'";
        return false;
    }
    const std::uint8_t type = record[1];
    if (type < '0' || type > '9' || kAddressBytes[type - '0'] == 0) {
        problem = "unknown record type " + Shown(type);
        return false;
    }
    const std::span<const std::uint8_t> digits = record.subspan(2);
    // Checked and decoded in one pass; the first byte that is no digit is the one named.
    bytes.resize(digits.size() / 2);
    unsigned sum = 0;  // of every byte; the checksum's own is taken off below
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(digits[2 * i]);
        const int low = HexValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
            problem = Shown(digits[high < 0 ? 2 * i : 2 * i + 1]) + " is not a hexadecimal digit";
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
        sum += bytes[i];
    }
    if (digits.size() % 2 != 0) {
        problem = HexValue(digits.back()) < 0 ? Shown(digits.back()) + " is not a hexadecimal digit"
                                              : "odd number of hexadecimal digits";
        return false;
    }
    if (digits.empty()) {
        problem = "no byte count";
        return false;
    }
    const unsigned count = bytes[0];
    const unsigned following = static_cast<unsigned>(bytes.size() - 1);
    if (count != following) {
        problem =
            Format("byte count %u does not match the %u bytes that follow it", count, following);
        return false;
    }
    const unsigned addressBytes = kAddressBytes[type - '0'];
    if (count < addressBytes + 1) {
        problem = Format("byte count %u is too small for a %u-byte address and the checksum", count,
                         addressBytes);
        return false;
    }
    sum -= bytes.back();
    const unsigned expected = ~sum & 0xFFu;
    if (bytes.back() != expected) {
        problem = Format("checksum mismatch: the record says 0x%02X, its bytes give 0x%02X",
                         bytes.back(), expected);
        return false;
    }
    parsed.type = type - '0';
    parsed.address = 0;
    for (unsigned i = 0; i < addressBytes; ++i) {
        parsed.address = (parsed.address << 8) | bytes[1 + i];
    }
    parsed.data =
        std::span<const std::uint8_t>(bytes).subspan(1 + addressBytes, count - addressBytes - 1);
    return true;
}

struct Segment {
    std::uint64_t first;
    std::size_t dataAt;  // the offset in the image of its first data byte's two digits
    std::size_t length;
    std::uint32_t line;
};

// Byte `i` of a data record that passed ParseS, decoded again from its digits: the check
// keeps no copy of the data.
std::uint8_t DataByte(std::span<const std::uint8_t> image, const Segment& s, std::size_t i) {
    const std::size_t at = s.dataAt + 2 * i;
    return static_cast<std::uint8_t>(HexValue(image[at]) * 16 + HexValue(image[at + 1]));
}

// Data records that write different bytes to one address, and the ranges the data covers.
void CheckOverlaps(std::vector<Segment> segments, std::span<const std::uint8_t> image,
                   ImageCheck& check) {
    const auto byFirst = [](const Segment& a, const Segment& b) { return a.first < b.first; };
    if (!std::is_sorted(segments.begin(), segments.end(), byFirst)) {
        std::stable_sort(segments.begin(), segments.end(), byFirst);
    }
    // The current run of contiguous, overlapping data, [runFirst, runEnd).
    std::uint64_t runFirst = 0;
    std::uint64_t runEnd = 0;
    // Who wrote the run's bytes: each segment that made it longer, with the run's end after
    // it, in rising order. A file written twice over is one long run full of conflicts,
    // and each conflict finds its other line by a binary search rather than a scan.
    struct Owner {
        std::uint64_t end;
        const Segment* segment;
    };
    std::vector<Owner> owners;
    for (const Segment& s : segments) {
        if (s.length == 0) {
            continue;
        }
        if (owners.empty() || s.first > runEnd) {
            if (!owners.empty()) {
                check.ranges.push_back(
                    {static_cast<std::uint32_t>(runFirst), static_cast<std::uint32_t>(runEnd - 1)});
                check.imageBytes += runEnd - runFirst;
            }
            runFirst = s.first;
            runEnd = s.first + s.length;
            owners.assign(1, Owner{runEnd, &s});
            continue;
        }
        // The run's byte at an address came from the first segment, in address order, that
        // covers it: the one whose extension of the run first reached past it.
        const std::uint64_t overlapEnd = std::min(runEnd, s.first + s.length);
        auto owner = std::upper_bound(owners.begin(), owners.end(), s.first,
                                      [](std::uint64_t at, const Owner& o) { return at < o.end; });
        for (std::uint64_t a = s.first; a < overlapEnd; ++a) {
            while (owner->end <= a) {
                ++owner;
            }
            const Segment& other = *owner->segment;
            const std::uint8_t mine = DataByte(image, s, static_cast<std::size_t>(a - s.first));
            const std::uint8_t before =
                DataByte(image, other, static_cast<std::size_t>(a - other.first));
            if (mine == before) {
                continue;
            }
            const std::uint32_t here = std::max(s.line, other.line);
            const std::uint32_t there = std::min(s.line, other.line);
            char text[160];
            std::snprintf(text, sizeof text,
                          "data overlaps line %u with different bytes: address 0x%08llX "
                          "gets 0x%02X here and 0x%02X there",
                          static_cast<unsigned>(there), static_cast<unsigned long long>(a),
                          here == s.line ? mine : before, here == s.line ? before : mine);
            check.findings.push_back({here, text});
            break;  // one finding per record is enough to find it
        }
        if (s.first + s.length > runEnd) {
            runEnd = s.first + s.length;
            owners.push_back(Owner{runEnd, &s});
        }
    }
    if (!owners.empty()) {
        check.ranges.push_back(
            {static_cast<std::uint32_t>(runFirst), static_cast<std::uint32_t>(runEnd - 1)});
        check.imageBytes += runEnd - runFirst;
    }
}

// A packet the builder cannot hold, named as the user can find it: the record alone, or
// the packet's records up to the one that no longer fits. `last` is that record's index.
CheckFinding TooLong(const BuildResult& result, const std::vector<Framed>& records,
                     std::size_t last, std::uint64_t& bytes) {
    const std::size_t count = std::clamp<std::size_t>(result.packetRecords, 1, last + 1);
    bytes = 0;
    for (std::size_t i = last + 1 - count; i <= last; ++i) {
        bytes += records[i].end - records[i].begin;
    }
    char text[200];
    if (count == 1) {
        std::snprintf(
            text, sizeof text, "record of %llu bytes does not fit in the %u-byte packet buffer",
            static_cast<unsigned long long>(bytes), static_cast<unsigned>(kPacketCapacity));
    } else {
        std::snprintf(text, sizeof text,
                      "packet of %u records (lines %u to %u) is %llu bytes, more than "
                      "the %u-byte packet buffer",
                      static_cast<unsigned>(count), static_cast<unsigned>(result.packetLine),
                      static_cast<unsigned>(result.recordLine),
                      static_cast<unsigned long long>(bytes),
                      static_cast<unsigned>(kPacketCapacity));
    }
    return {result.packetLine, text};
}

// Runs the packet builder itself over the image, as the transfer will: the packets each
// stage sends, and every packet it cannot hold. After such a packet it goes on after the
// record that did not fit, so that a later one is found too.
void CountPackets(std::span<const std::uint8_t> image, const std::vector<Framed>& records,
                  ImageCheck& check) {
    std::uint8_t packet[kPacketCapacity];
    std::uint16_t packetLen = 0;
    bool firstStage = true;
    bool lastWasSwitch = false;
    PacketBuilder builder(packet, packetLen, firstStage, lastWasSwitch);
    MemoryByteSource file(
        std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
    for (;;) {
        const bool inFirstStage = firstStage;
        const BuildResult result = builder.Build(file);
        if (result.outcome != BuildOutcome::Packet &&
            result.outcome != BuildOutcome::RecordTooLong) {
            return;  // end of file: memory is never unreadable
        }
        std::uint64_t bytes = packetLen;
        if (result.outcome == BuildOutcome::RecordTooLong) {
            // The record that did not fit, as the check frames it: the same record.
            const auto at = std::lower_bound(
                records.begin(), records.end(), result.recordOffset,
                [](const Framed& r, std::uint64_t offset) { return r.begin < offset; });
            if (at == records.end()) {
                return;
            }
            check.findings.push_back(
                TooLong(result, records, static_cast<std::size_t>(at - records.begin()), bytes));
            if (at->end > file.Consumed()) {
                file.Skip(static_cast<std::size_t>(at->end - file.Consumed()));
            }
            if (inFirstStage && image[at->begin] == 'Z') {
                firstStage = false;  // a switch record too long still ends the first stage
            }
        }
        (inFirstStage ? check.firstStagePackets : check.secondStagePackets) += 1;
        (inFirstStage ? check.firstStageBytes : check.secondStageBytes) += bytes;
    }
}

// Sent whole or not at all: a file must hold data and end with its termination record,
// which is the last record the dongle takes. A download cut short at a line end, or two
// files run together, is otherwise made of well-formed records.
void CheckWhole(std::span<const std::uint8_t> image, const std::vector<Framed>& records,
                ImageCheck& check) {
    if (records.empty()) {
        check.findings.push_back({0, "no records"});
        return;
    }
    bool data = false;
    bool switched = false;
    for (const Framed& record : records) {
        if (check.terminationLine != 0) {
            check.findings.push_back(
                {record.line, Format("record after the termination record of line %u: the file "
                                     "may be two files run together",
                                     check.terminationLine)});
            break;
        }
        const std::uint8_t type = record.end - record.begin >= 2 && image[record.begin] == 'S'
                                      ? image[record.begin + 1]
                                      : 0;
        data = data || (type >= '1' && type <= '3');
        switched = switched || image[record.begin] == 'Z';
        if (type >= '7' && type <= '9') {
            check.terminationLine = record.line;
            check.terminationType = type - '0';
        }
    }
    if (!data) {
        check.findings.push_back(
            {0, "no data records (S1/S2/S3): the file holds nothing to write"});
    }
    if (data && !switched) {
        // Without it the dongle never erases and refuses every data record, and the command
        // stage it would be sent in has no reply that could show that before the end.
        check.findings.push_back({records.back().line,
                                  "no switch record (Z line): the dongle would take none of "
                                  "its data"});
    }
    if (check.terminationLine == 0) {
        check.findings.push_back({records.back().line,
                                  "no termination record (S7/S8/S9): the file may have been "
                                  "cut short"});
    }
}

}  // namespace

ImageCheck CheckImage(std::span<const std::uint8_t> image) {
    ImageCheck check;
    Framer framer(image);
    std::vector<Framed> records;
    std::vector<std::uint8_t> decoded;
    std::vector<Segment> segments;
    std::uint32_t dataRecords = 0;
    bool headerSeen = false;
    bool firstStage = true;

    for (Framed record; framer.Next(record);) {
        records.push_back(record);
    }
    // Whether the file is whole comes first: on the line where a file was cut short, that
    // is what the user needs to know before what the cut did to the record.
    CheckWhole(image, records, check);
    CountPackets(image, records, check);
    segments.reserve(records.size());  // at most one per record, and no copies as it grows
    for (const Framed& record : records) {
        const std::span<const std::uint8_t> bytes =
            image.subspan(record.begin, record.end - record.begin);
        if (bytes[0] == 'Z') {
            ++check.zRecords;
            if (firstStage && !record.atLineStart) {
                check.findings.push_back(
                    {record.line, "a 'Z' inside a line would be sent as the switch record"});
            }
            firstStage = false;
            continue;
        }
        Parsed parsed;
        std::string problem;
        if (!ParseS(bytes, decoded, parsed, problem)) {
            check.findings.push_back({record.line, problem});
            continue;
        }
        ++check.sRecords[static_cast<std::size_t>(parsed.type)];
        switch (parsed.type) {
            case 0:
                if (!headerSeen) {
                    headerSeen = true;
                    for (const std::uint8_t c : parsed.data) {
                        check.header.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
                    }
                }
                break;
            case 1:
            case 2:
            case 3:
                ++dataRecords;
                segments.push_back(
                    {parsed.address,
                     record.begin + 2 +
                         2 * static_cast<std::size_t>(parsed.data.data() - decoded.data()),
                     parsed.data.size(), record.line});
                break;
            case 5:
            case 6:
                if (parsed.address != dataRecords) {
                    check.findings.push_back(
                        {record.line,
                         Format("data record count mismatch: the record says %u, the file has "
                                "%u data records before it",
                                parsed.address, dataRecords)});
                }
                break;
            default:
                break;
        }
    }
    CheckOverlaps(std::move(segments), image, check);
    std::stable_sort(check.findings.begin(), check.findings.end(),
                     [](const CheckFinding& a, const CheckFinding& b) { return a.line < b.line; });
    return check;
}

}  // namespace kx
