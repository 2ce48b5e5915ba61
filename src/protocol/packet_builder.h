// Turns the firmware file into packets, one packet per Build: records of the form
// first byte `S` or `Z`, a type byte, then everything up to the line end (CR LF, LF alone
// or CR alone; the line end is not sent). In the first
// stage every packet holds one record; the first `Z` there is the switch record, which
// ends the first stage. In the second stage consecutive `S3` records share a packet, up
// to kS3PerPacket of them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "byte_source.h"

namespace kx {

inline constexpr std::size_t kPacketCapacity = 4096;
// The dongle ends a second-stage packet after this many consecutive `S3` records (or
// after any other record, which it includes); its replies pace the packets by that rule.
inline constexpr unsigned kS3PerPacket = 32;

// How many of `size` bytes come before the first CR or LF (all of them when none does):
// the rest of a record's line, found sixteen bytes at a time where the processor has SSE2,
// else by the C library's scan. That scan goes a window at a time, so that in a file whose
// lines end in LF alone the search for a CR stops near the line end instead of running on
// to the end of the file.
inline std::size_t BytesBeforeLineEnd(const std::uint8_t* bytes, std::size_t size) {
    std::size_t at = 0;
#if defined(__SSE2__)
    for (; at + 16 <= size; at += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const auto ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmpeq_epi8(b, _mm_set1_epi8(0x0D)), _mm_cmpeq_epi8(b, _mm_set1_epi8(0x0A)))));
        if (ends != 0) {
            return at + static_cast<std::size_t>(std::countr_zero(ends));
        }
    }
#endif
    constexpr std::size_t kWindow = 256;
    for (; at < size; at += kWindow) {
        const std::uint8_t* window = bytes + at;
        const std::size_t length = size - at < kWindow ? size - at : kWindow;
        const void* cr = std::memchr(window, 0x0D, length);
        const std::size_t beforeCr =
            cr != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(cr) - window)
                          : length;
        const void* lf = std::memchr(window, 0x0A, beforeCr);
        if (lf != nullptr) {
            return at + static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - window);
        }
        if (cr != nullptr) {
            return at + beforeCr;
        }
    }
    return size;
}

enum class BuildOutcome {
    Packet,         // the packet is in the buffer, ready to be written
    EndOfFile,      // no record was left; the packet is empty
    RecordTooLong,  // a record does not fit in the buffer: nothing of this packet may go out
    ReadError,      // the file could not be read: nothing of this packet may go out
};

struct BuildResult {
    BuildOutcome outcome;
    bool switchAfter;  // the packet holds the switch record: move to the bulk link
    // Where the record began: the packet's first record for Packet, the failing one for
    // RecordTooLong and ReadError (for a read error between records, where the read
    // failed). The line is 1-based and counts the line ends consumed since Restart.
    std::uint64_t recordOffset;
    std::uint32_t recordLine;
    // For RecordTooLong: the line of the packet's first record, and the records it held
    // when it outgrew the buffer (the failing one included).
    std::uint32_t packetLine = 0;
    std::uint32_t packetRecords = 0;
};

class PacketBuilder {
  public:
    // Works on the transfer state kept by its owner; the references must outlive it.
    PacketBuilder(std::uint8_t (&packet)[kPacketCapacity], std::uint16_t& packetLen,
                  bool& firstStage, bool& lastWasSwitch);

    // A new transfer: line count back to 1, and no packet left over from an earlier
    // transfer (empty, and not marked as the switch record).
    void Restart();

    // Builds the next packet from `file`. On RecordTooLong and ReadError the packet is
    // left empty and both stage flags as they were before the call.
    BuildResult Build(ByteSource& file);

  private:
    struct Gather;
    enum class Take { Record, NoRecord, TooLong, Failed };

    Take TakeRecord(ByteSource& file, Gather& gather);
    Take TakeRest(ByteSource& file, Gather& gather);
    std::size_t TakeBuffered(ByteSource& file);
    int Read(ByteSource& file);
    bool Append(int b);

    std::uint8_t (&m_packet)[kPacketCapacity];
    std::uint16_t& m_packetLen;
    bool& m_firstStage;
    bool& m_lastWasSwitch;
    std::uint32_t m_line = 1;
    bool m_afterCR = false;  // the last byte read was a CR: an LF now ends no further line
};

}  // namespace kx
