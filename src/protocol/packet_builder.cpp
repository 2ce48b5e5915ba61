#include "packet_builder.h"

#include <algorithm>
#include <cstring>

namespace kx {
namespace {

constexpr int kCR = 0x0D;
constexpr int kLF = 0x0A;
constexpr int kRecordStart = 'S';
constexpr int kSwitchStart = 'Z';
constexpr int kTypeS3 = '3';

}  // namespace

struct PacketBuilder::Gather {
    unsigned s3Count = 0;  // `S3` records taken into this packet
    bool more = true;
    bool switchAfter = false;
    std::uint64_t offset = 0;
    std::uint32_t line = 0;
    std::uint32_t records = 0;
};

PacketBuilder::PacketBuilder(std::uint8_t (&packet)[kPacketCapacity], std::uint16_t& packetLen,
                             bool& firstStage, bool& lastWasSwitch)
    : m_packet(packet),
      m_packetLen(packetLen),
      m_firstStage(firstStage),
      m_lastWasSwitch(lastWasSwitch) {}

void PacketBuilder::Restart() {
    m_line = 1;
    m_afterCR = false;
    m_packetLen = 0;
    m_lastWasSwitch = false;
}

BuildResult PacketBuilder::Build(ByteSource& file) {
    const bool firstStageBefore = m_firstStage;
    const bool lastWasSwitchBefore = m_lastWasSwitch;
    m_packetLen = 0;

    Gather gather;
    std::uint64_t firstOffset = 0;
    std::uint32_t firstLine = 0;
    while (gather.more) {
        const Take take = TakeRecord(file, gather);
        if (take == Take::NoRecord) {
            break;  // end of file: whatever was gathered still goes out
        }
        if (take != Take::Record) {
            m_packetLen = 0;
            m_firstStage = firstStageBefore;
            m_lastWasSwitch = lastWasSwitchBefore;
            if (take == Take::TooLong) {
                return {BuildOutcome::RecordTooLong,
                        false,
                        gather.offset,
                        gather.line,
                        firstLine == 0 ? gather.line : firstLine,
                        gather.records};
            }
            return {BuildOutcome::ReadError, false, gather.offset, gather.line};
        }
        if (firstLine == 0) {
            firstOffset = gather.offset;
            firstLine = gather.line;
        }
    }
    if (m_packetLen == 0) {
        return {BuildOutcome::EndOfFile, false, file.Consumed(), m_line};
    }
    return {BuildOutcome::Packet, gather.switchAfter, firstOffset, firstLine};
}

PacketBuilder::Take PacketBuilder::TakeRecord(ByteSource& file, Gather& gather) {
    int b = 0;
    do {
        b = Read(file);
    } while (b >= 0 && b != kRecordStart && b != kSwitchStart);
    if (b == ByteSource::kError) {
        gather.offset = file.Consumed();
        gather.line = m_line;
        return Take::Failed;
    }
    if (b == ByteSource::kEnd) {
        return Take::NoRecord;
    }
    gather.offset = file.Consumed() - 1;
    gather.line = m_line;
    ++gather.records;

    if (m_firstStage) {
        if (b == kSwitchStart) {
            m_firstStage = false;
            m_lastWasSwitch = true;
            gather.switchAfter = true;
        }
        gather.more = false;
    } else {
        m_lastWasSwitch = false;
    }
    if (!Append(b)) {
        return Take::TooLong;
    }
    return TakeRest(file, gather);
}

// The type byte, taken whatever it is, then everything up to the line end: a CR, an LF,
// or a CR and the LF after it. End of file ends the record as read.
PacketBuilder::Take PacketBuilder::TakeRest(ByteSource& file, Gather& gather) {
    const int type = Read(file);
    if (type == ByteSource::kError) {
        return Take::Failed;
    }
    if (type == ByteSource::kEnd) {
        gather.more = false;
        return Take::Record;
    }
    if (type != kTypeS3 || ++gather.s3Count == kS3PerPacket) {
        gather.more = false;
    }
    if (!Append(type)) {
        return Take::TooLong;
    }

    for (;;) {
        // The body up to the line end, taken from the file's buffer in one piece where it
        // can be: the same bytes, lines and limits as byte by byte, at a fraction of the cost.
        if (TakeBuffered(file) > 0) {
            continue;
        }
        const int b = Read(file);
        if (b == ByteSource::kError) {
            return Take::Failed;
        }
        if (b == ByteSource::kEnd) {
            gather.more = false;
            return Take::Record;
        }
        if (b == kLF) {
            return Take::Record;
        }
        if (b == kCR) {
            break;
        }
        if (!Append(b)) {
            return Take::TooLong;
        }
    }
    // An LF right after the CR belongs to the same line end; any other byte is the next
    // line's (and a read error there is the next packet's).
    if (file.Peek() == kLF) {
        Read(file);
    }
    return Take::Record;
}

// Copies the buffered bytes before the next CR or LF, as far as the packet has room; the
// line end and a byte that does not fit are left to the byte-by-byte path. Returns the count.
std::size_t PacketBuilder::TakeBuffered(ByteSource& file) {
    const std::span<const std::uint8_t> buffered = file.Buffered();
    const std::size_t room = kPacketCapacity - m_packetLen;
    const std::size_t limit = std::min(buffered.size(), room);
    if (limit == 0) {
        return 0;
    }
    const std::size_t count = BytesBeforeLineEnd(buffered.data(), limit);
    if (count == 0) {
        return 0;
    }
    std::memcpy(m_packet + m_packetLen, buffered.data(), count);
    m_packetLen = static_cast<std::uint16_t>(m_packetLen + count);
    m_afterCR = false;
    file.Skip(count);
    return count;
}

int PacketBuilder::Read(ByteSource& file) {
    const int b = file.Next();
    if (b == kCR || (b == kLF && !m_afterCR)) {
        ++m_line;
    }
    m_afterCR = b == kCR;
    return b;
}

bool PacketBuilder::Append(int b) {
    if (m_packetLen >= kPacketCapacity) {
        return false;
    }
    m_packet[m_packetLen++] = static_cast<std::uint8_t>(b);
    return true;
}

}  // namespace kx
