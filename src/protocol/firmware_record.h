// The records of a firmware file as the check reads them: framed exactly as the packet
// builder frames them (a record starts at the next `S` or `Z`, takes the byte after it as
// its type and runs to the line end), and an `S` record's fields decoded and checked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "packet_builder.h"

namespace kx {

// A record as the packet builder frames it: its bytes as sent, without the line end.
struct FramedRecord {
    std::size_t begin = 0, end = 0;  // offsets into the image
    std::uint32_t line = 0;
    bool atLineStart = false;
};

class RecordFramer {
  public:
    explicit RecordFramer(std::span<const std::uint8_t> image) : m_image(image) {}

    bool Next(FramedRecord& record) {
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
        record.end = m_pos;
        if (m_pos < m_image.size()) {
            // The line end: a CR, an LF, or a CR and the LF after it.
            const std::uint8_t b = m_image[m_pos];
            Consume();
            if (b == kCR && m_pos < m_image.size() && m_image[m_pos] == kLF) {
                Consume();
            }
        }
        return true;
    }

  private:
    static constexpr std::uint8_t kCR = 0x0D;
    static constexpr std::uint8_t kLF = 0x0A;

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

// Each byte's value as a hexadecimal digit, -1 for a byte that is none.
inline constexpr std::array<std::int8_t, 256> kHexValues = [] {
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

// The byte two hexadecimal digits give; both must be digits.
inline std::uint8_t HexByte(const std::uint8_t* digits) {
    return static_cast<std::uint8_t>(kHexValues[digits[0]] * 16 + kHexValues[digits[1]]);
}

// An `S` record's fields. Its data stays in the record as digits: byte `i` is
// HexByte(record + dataAt + 2 * i).
struct SRecordFields {
    int type = -1;
    std::uint32_t address = 0;
    std::size_t dataAt = 0;
    std::size_t dataLength = 0;
};

// An `S` record's fields, or the reason it is not well formed.
bool ParseSRecord(std::span<const std::uint8_t> record, SRecordFields& fields,
                  std::string& problem);

// A byte as a finding names it: the character in quotes, or its value.
std::string Shown(std::uint8_t b);
std::string Formatted(const char* format, unsigned a, unsigned b = 0);

}  // namespace kx
