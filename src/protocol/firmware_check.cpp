#include "firmware_check.h"

#include <algorithm>
#include <cstdio>

#include "data_overlaps.h"
#include "firmware_record.h"
#include "packet_builder.h"

namespace kx {
namespace {

// Sent whole or not at all: a file must hold data and end with its termination record,
// which is the last record the dongle takes. A download cut short at a line end, or two
// files run together, is otherwise made of well-formed records.
class WholeFile {
  public:
    void Take(const FramedRecord& record, std::span<const std::uint8_t> image, ImageCheck& check,
              std::vector<CheckFinding>& findings) {
        m_records = true;
        m_lastLine = record.line;
        if (m_done) {
            return;
        }
        if (check.terminationLine != 0) {
            findings.push_back(
                {record.line, Formatted("record after the termination record of line %u: the "
                                        "file may be two files run together",
                                        check.terminationLine)});
            m_done = true;  // what comes after it tells no more about the file
            return;
        }
        const std::uint8_t type = record.end - record.begin >= 2 && image[record.begin] == 'S'
                                      ? image[record.begin + 1]
                                      : 0;
        m_data = m_data || (type >= '1' && type <= '3');
        m_switched = m_switched || image[record.begin] == 'Z';
        if (type >= '7' && type <= '9') {
            check.terminationLine = record.line;
            check.terminationType = type - '0';
        }
    }

    void Finish(const ImageCheck& check, std::vector<CheckFinding>& findings) const {
        if (!m_records) {
            findings.push_back({0, "no records"});
            return;
        }
        if (!m_data) {
            findings.push_back({0, "no data records (S1/S2/S3): the file holds nothing to write"});
        }
        if (m_data && !m_switched) {
            // Without it the dongle never erases and refuses every data record, and the
            // command stage it would be sent in has no reply that could show that before the
            // end.
            findings.push_back({m_lastLine,
                                "no switch record (Z line): the dongle would take none of its "
                                "data"});
        }
        if (check.terminationLine == 0) {
            findings.push_back({m_lastLine,
                                "no termination record (S7/S8/S9): the file may have been cut "
                                "short"});
        }
    }

  private:
    bool m_records = false;
    bool m_data = false;
    bool m_switched = false;
    bool m_done = false;
    std::uint32_t m_lastLine = 0;
};

// The records a packet the builder cannot hold is named by, framed on demand in step with
// the builder: it only goes forward, from one such record to a later one, and a packet holds
// at most kS3PerPacket records, so the last records framed are all it ever looks back at.
class RecentRecords {
  public:
    explicit RecentRecords(std::span<const std::uint8_t> image) : m_framer(image) {}

    // The first record that begins at or after `offset`, as its index among the file's
    // records; false when there is none.
    bool Find(std::uint64_t offset, std::size_t& index) {
        while (m_count == 0 || At(m_count - 1).begin < offset) {
            if (!m_framer.Next(m_held[m_count % kHeld])) {
                return false;
            }
            ++m_count;
        }
        index = m_count - 1;
        while (index > 0 && Held(index - 1) && At(index - 1).begin >= offset) {
            --index;
        }
        return true;
    }

    bool Held(std::size_t index) const { return index < m_count && index + kHeld >= m_count; }
    const FramedRecord& At(std::size_t index) const { return m_held[index % kHeld]; }

  private:
    static constexpr std::size_t kHeld = 2 * kS3PerPacket;

    RecordFramer m_framer;
    FramedRecord m_held[kHeld];
    std::size_t m_count = 0;  // records framed so far
};

// A packet the builder cannot hold, named as the user can find it: the record alone, or
// the packet's records up to the one that no longer fits. `last` is that record's index.
CheckFinding TooLong(const BuildResult& result, const RecentRecords& records, std::size_t last,
                     std::uint64_t& bytes) {
    std::size_t count = std::clamp<std::size_t>(result.packetRecords, 1, last + 1);
    while (count > 1 && !records.Held(last + 1 - count)) {
        --count;  // never: a packet holds fewer records than are kept
    }
    bytes = 0;
    for (std::size_t i = last + 1 - count; i <= last; ++i) {
        bytes += records.At(i).end - records.At(i).begin;
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
void CountPackets(std::span<const std::uint8_t> image, ImageCheck& check,
                  std::vector<CheckFinding>& findings) {
    std::uint8_t packet[kPacketCapacity];
    std::uint16_t packetLen = 0;
    bool firstStage = true;
    bool lastWasSwitch = false;
    PacketBuilder builder(packet, packetLen, firstStage, lastWasSwitch);
    MemoryByteSource file(
        std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
    RecentRecords records(image);
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
            std::size_t last = 0;
            if (!records.Find(result.recordOffset, last)) {
                return;
            }
            findings.push_back(TooLong(result, records, last, bytes));
            const FramedRecord& at = records.At(last);
            if (at.end > file.Consumed()) {
                file.Skip(static_cast<std::size_t>(at.end - file.Consumed()));
            }
            if (inFirstStage && image[at.begin] == 'Z') {
                firstStage = false;  // a switch record too long still ends the first stage
            }
        }
        (inFirstStage ? check.firstStagePackets : check.secondStagePackets) += 1;
        (inFirstStage ? check.firstStageBytes : check.secondStageBytes) += bytes;
    }
}

DataSegment SegmentOf(const FramedRecord& record, const SRecordFields& fields) {
    return {fields.address, record.begin + fields.dataAt, fields.dataLength, record.line};
}

// The data segments of the records that begin before `end`, read again: only an image out
// of address order needs them, and keeping them all for every image would cost more.
std::vector<DataSegment> DataSegmentsBefore(std::span<const std::uint8_t> image, std::size_t end) {
    std::vector<DataSegment> segments;
    RecordFramer framer(image);
    SRecordFields fields;
    std::string problem;
    for (FramedRecord record; framer.Next(record) && record.begin < end;) {
        if (image[record.begin] == 'S' &&
            ParseSRecord(image.subspan(record.begin, record.end - record.begin), fields, problem) &&
            fields.type >= 1 && fields.type <= 3) {
            segments.push_back(SegmentOf(record, fields));
        }
    }
    return segments;
}

}  // namespace

ImageCheck CheckImage(std::span<const std::uint8_t> image) {
    ImageCheck check;
    // The findings of each part, joined in this order and then put in line order. Whether
    // the file is whole comes first: on the line where a file was cut short, that is what
    // the user needs to know before what the cut did to the record.
    std::vector<CheckFinding> whole;
    std::vector<CheckFinding> packets;
    std::vector<CheckFinding> records;
    WholeFile wholeFile;
    DataOverlaps overlaps(image);
    RecordFramer framer(image);
    SRecordFields fields;
    std::string problem;
    std::uint32_t dataRecords = 0;
    bool headerSeen = false;
    bool firstStage = true;

    // One pass, record by record, keeping nothing per record.
    for (FramedRecord record; framer.Next(record);) {
        wholeFile.Take(record, image, check, whole);
        const std::span<const std::uint8_t> bytes =
            image.subspan(record.begin, record.end - record.begin);
        if (bytes[0] == 'Z') {
            ++check.zRecords;
            if (firstStage && !record.atLineStart) {
                records.push_back(
                    {record.line, "a 'Z' inside a line would be sent as the switch record"});
            }
            firstStage = false;
            continue;
        }
        if (!ParseSRecord(bytes, fields, problem)) {
            records.push_back({record.line, problem});
            continue;
        }
        ++check.sRecords[static_cast<std::size_t>(fields.type)];
        switch (fields.type) {
            case 0:
                if (!headerSeen) {
                    headerSeen = true;
                    for (std::size_t i = 0; i < fields.dataLength; ++i) {
                        const std::uint8_t c = HexByte(bytes.data() + fields.dataAt + 2 * i);
                        check.header.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
                    }
                }
                break;
            case 1:
            case 2:
            case 3:
                ++dataRecords;
                overlaps.Add(SegmentOf(record, fields), record.begin);
                break;
            case 5:
            case 6:
                if (fields.address != dataRecords) {
                    records.push_back(
                        {record.line,
                         Formatted("data record count mismatch: the record says %u, the file "
                                   "has %u data records before it",
                                   fields.address, dataRecords)});
                }
                break;
            default:
                break;
        }
    }
    wholeFile.Finish(check, whole);
    CountPackets(image, check, packets);

    check.findings = std::move(whole);
    check.findings.insert(check.findings.end(), packets.begin(), packets.end());
    check.findings.insert(check.findings.end(), records.begin(), records.end());
    overlaps.Finish(overlaps.OutOfOrder() ? DataSegmentsBefore(image, overlaps.OrderBrokenAt())
                                          : std::vector<DataSegment>{},
                    check);
    std::stable_sort(check.findings.begin(), check.findings.end(),
                     [](const CheckFinding& a, const CheckFinding& b) { return a.line < b.line; });
    return check;
}

}  // namespace kx
