#include "firmware_check.h"

#include <algorithm>
#include <cstdio>

#include "packet_builder.h"

namespace kx {
namespace {

constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;
constexpr std::uint32_t kS3PerPacket = 32;

// A record as the packet builder frames it: its bytes as sent, without the line end.
struct Framed {
    std::size_t begin = 0, end = 0;  // offsets into the image
    std::uint32_t line = 0;
    bool atLineStart = false;
    bool endedByEof = false;  // end of file inside the record ends the packet too
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
        record.endedByEof = false;
        Consume();  // the record's first byte
        if (m_pos == m_image.size()) {
            record.end = m_pos;
            record.endedByEof = true;
            return true;
        }
        Consume();  // the type byte, whatever it is
        for (;;) {
            if (m_pos == m_image.size()) {
                record.end = m_pos;
                record.endedByEof = true;
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

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Bytes of the address field per type digit; 0 for a type that does not exist.
constexpr std::array<std::uint8_t, 10> kAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct Parsed {
    int type = -1;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
};

std::string Format(const char* format, unsigned a, unsigned b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// An `S` record's fields, or the reason it is not well formed.
bool ParseS(std::span<const std::uint8_t> record, Parsed& parsed, std::string& problem) {
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
    for (const std::uint8_t c : digits) {
        if (HexValue(c) < 0) {
            problem = Shown(c) + " is not a hexadecimal digit";
            return false;
        }
    }
    if (digits.size() % 2 != 0) {
        problem = "odd number of hexadecimal digits";
        return false;
    }
    if (digits.empty()) {
        problem = "no byte count";
        return false;
    }
    std::vector<std::uint8_t> bytes(digits.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            static_cast<std::uint8_t>(HexValue(digits[2 * i]) * 16 + HexValue(digits[2 * i + 1]));
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
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        sum += bytes[i];
    }
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
    parsed.data.assign(bytes.begin() + 1 + addressBytes, bytes.end() - 1);
    return true;
}

struct Segment {
    std::uint64_t first;
    std::size_t dataAt;  // into the collected data bytes
    std::size_t length;
    std::uint32_t line;
};

// Data records that write different bytes to one address, and the ranges the data covers.
void CheckOverlaps(std::vector<Segment> segments, const std::vector<std::uint8_t>& data,
                   ImageCheck& check) {
    std::stable_sort(segments.begin(), segments.end(),
                     [](const Segment& a, const Segment& b) { return a.first < b.first; });
    // The bytes of the current run of contiguous, overlapping data, from runFirst on.
    std::vector<std::uint8_t> run;
    std::uint64_t runFirst = 0;
    // Who wrote the run's bytes: each segment that made it longer, with the run's end after
    // it, in rising order. A file written twice over is one long run full of conflicts,
    // and each conflict finds its other line by a binary search rather than a scan.
    struct Owner {
        std::uint64_t end;
        std::uint32_t line;
    };
    std::vector<Owner> owners;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        if (s.length == 0) {
            continue;
        }
        const std::uint64_t runEnd = runFirst + run.size();
        if (run.empty() || s.first > runEnd) {
            if (!run.empty()) {
                check.ranges.push_back(
                    {static_cast<std::uint32_t>(runFirst), static_cast<std::uint32_t>(runEnd - 1)});
                check.imageBytes += run.size();
            }
            run.assign(data.begin() + static_cast<std::ptrdiff_t>(s.dataAt),
                       data.begin() + static_cast<std::ptrdiff_t>(s.dataAt + s.length));
            runFirst = s.first;
            owners.assign(1, Owner{s.first + s.length, s.line});
            continue;
        }
        const std::uint64_t overlapEnd = std::min(runEnd, s.first + s.length);
        for (std::uint64_t a = s.first; a < overlapEnd; ++a) {
            const std::uint8_t mine = data[s.dataAt + static_cast<std::size_t>(a - s.first)];
            const std::uint8_t before = run[static_cast<std::size_t>(a - runFirst)];
            if (mine == before) {
                continue;
            }
            // The run's byte came from the first segment, in address order, that covers a:
            // the one whose extension of the run first reached past a.
            const auto owner =
                std::upper_bound(owners.begin(), owners.end(), a,
                                 [](std::uint64_t at, const Owner& o) { return at < o.end; });
            const std::uint32_t otherLine = owner != owners.end() ? owner->line : 0;
            const std::uint32_t here = std::max(s.line, otherLine);
            const std::uint32_t there = std::min(s.line, otherLine);
            char text[160];
            std::snprintf(text, sizeof text,
                          "data overlaps line %u with different bytes: address 0x%08llX "
                          "gets 0x%02X here and 0x%02X there",
                          static_cast<unsigned>(there), static_cast<unsigned long long>(a),
                          here == s.line ? mine : before, here == s.line ? before : mine);
            check.findings.push_back({here, text});
            break;  // one finding per record is enough to find it
        }
        for (std::uint64_t a = overlapEnd; a < s.first + s.length; ++a) {
            run.push_back(data[s.dataAt + static_cast<std::size_t>(a - s.first)]);
        }
        if (s.first + s.length > runEnd) {
            owners.push_back(Owner{s.first + s.length, s.line});
        }
    }
    if (!run.empty()) {
        check.ranges.push_back({static_cast<std::uint32_t>(runFirst),
                                static_cast<std::uint32_t>(runFirst + run.size() - 1)});
        check.imageBytes += run.size();
    }
}

// Groups the records into packets as the packet builder does, and flags a packet that
// would outgrow the packet buffer.
class PacketCounter {
  public:
    explicit PacketCounter(ImageCheck& check) : m_check(check) {}

    void Add(std::span<const std::uint8_t> image, const Framed& record) {
        const std::size_t length = record.end - record.begin;
        const std::uint8_t lead = image[record.begin];
        // The builder goes by the type byte alone: a `Z3` record shares a packet as `S3` does.
        const bool typeThree = length >= 2 && image[record.begin + 1] == '3';
        if (m_firstStage) {
            Start(record);
            Take(length, record);
            End(true);
            if (lead == 'Z') {
                m_firstStage = false;
            }
            return;
        }
        if (!m_open) {
            Start(record);
        }
        Take(length, record);
        if (typeThree && m_s3 + 1 < kS3PerPacket && !record.endedByEof) {
            ++m_s3;
        } else {
            End(false);
        }
    }
    void Finish() {
        if (m_open) {
            End(false);
        }
    }

  private:
    void Start(const Framed& record) {
        m_open = true;
        m_length = 0;
        m_records = 0;
        m_s3 = 0;
        m_firstLine = record.line;
    }
    void Take(std::size_t length, const Framed& record) {
        m_length += length;
        ++m_records;
        m_lastLine = record.line;
    }
    void End(bool firstStage) {
        m_open = false;
        if (firstStage) {
            ++m_check.firstStagePackets;
            m_check.firstStageBytes += m_length;
        } else {
            ++m_check.secondStagePackets;
            m_check.secondStageBytes += m_length;
        }
        if (m_length <= kPacketCapacity) {
            return;
        }
        char text[200];
        if (m_records == 1) {
            std::snprintf(
                text, sizeof text, "record of %llu bytes does not fit in the %u-byte packet buffer",
                static_cast<unsigned long long>(m_length), static_cast<unsigned>(kPacketCapacity));
        } else {
            std::snprintf(text, sizeof text,
                          "packet of %u records (lines %u to %u) is %llu bytes, more than "
                          "the %u-byte packet buffer",
                          static_cast<unsigned>(m_records), static_cast<unsigned>(m_firstLine),
                          static_cast<unsigned>(m_lastLine),
                          static_cast<unsigned long long>(m_length),
                          static_cast<unsigned>(kPacketCapacity));
        }
        m_check.findings.push_back({m_firstLine, text});
    }

    ImageCheck& m_check;
    bool m_firstStage = true;
    bool m_open = false;
    std::uint64_t m_length = 0;
    std::uint32_t m_records = 0, m_s3 = 0, m_firstLine = 0, m_lastLine = 0;
};

}  // namespace

ImageCheck CheckImage(std::span<const std::uint8_t> image) {
    ImageCheck check;
    Framer framer(image);
    PacketCounter packets(check);
    std::vector<Segment> segments;
    std::vector<std::uint8_t> data;
    std::uint32_t dataRecords = 0;
    bool anyRecord = false;
    bool headerSeen = false;
    bool firstStage = true;

    Framed record;
    while (framer.Next(record)) {
        anyRecord = true;
        packets.Add(image, record);
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
        if (!ParseS(bytes, parsed, problem)) {
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
                segments.push_back({parsed.address, data.size(), parsed.data.size(), record.line});
                data.insert(data.end(), parsed.data.begin(), parsed.data.end());
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
    packets.Finish();
    if (!anyRecord) {
        check.findings.push_back({0, "no records"});
    }
    CheckOverlaps(std::move(segments), data, check);
    std::stable_sort(check.findings.begin(), check.findings.end(),
                     [](const CheckFinding& a, const CheckFinding& b) { return a.line < b.line; });
    return check;
}

}  // namespace kx
