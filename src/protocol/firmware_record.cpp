#include "firmware_record.h"

#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kx {
namespace {

// Bytes of the address field per type digit; 0 for a type that does not exist.
constexpr std::array<std::uint8_t, 10> kAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// The first byte of `digits` that is no hexadecimal digit, named; the caller knows there
// is one.
std::string NotADigit(std::span<const std::uint8_t> digits) {
    std::size_t at = 0;
    while (at + 1 < digits.size() && kHexValues[digits[at]] >= 0) {
        ++at;
    }
    return Shown(digits[at]) + " is not a hexadecimal digit";
}

// The sum of the bytes `pairs` pairs of hexadecimal digits give, taken mod 2^32 as any
// checksum of them needs; false when a byte among them is no digit.
bool SumHexPairs(const std::uint8_t* digits, std::size_t pairs, unsigned& sum) {
    std::size_t i = 0;
    unsigned total = 0;
#if defined(__SSE2__)
    // Eight pairs at a time. A byte is a digit when it lies in '0'..'9', or when with the
    // lower-case bit set it lies in 'a'..'f'; bytes from 0x80 up compare as negative and
    // are neither.
    __m128i valid = _mm_set1_epi8(-1);
    __m128i sums = _mm_setzero_si128();
    for (; i + 8 <= pairs; i += 8) {
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 2 * i));
        const __m128i lower = _mm_or_si128(d, _mm_set1_epi8(0x20));
        const __m128i decimal = _mm_and_si128(_mm_cmpgt_epi8(d, _mm_set1_epi8('0' - 1)),
                                              _mm_cmplt_epi8(d, _mm_set1_epi8('9' + 1)));
        const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)),
                                             _mm_cmplt_epi8(lower, _mm_set1_epi8('f' + 1)));
        valid = _mm_and_si128(valid, _mm_or_si128(decimal, letter));
        const __m128i value =
            _mm_or_si128(_mm_and_si128(decimal, _mm_sub_epi8(d, _mm_set1_epi8('0'))),
                         _mm_and_si128(letter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10))));
        // A pair in each 16-bit lane, its high digit in the low byte: the byte it gives
        // fills the lane's low byte, and the lanes' bytes add up by halves.
        const __m128i bytes =
            _mm_add_epi16(_mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0x00FF)), 4),
                          _mm_srli_epi16(value, 8));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, _mm_setzero_si128()));
    }
    if (_mm_movemask_epi8(valid) != 0xFFFF) {
        return false;
    }
    total = static_cast<unsigned>(_mm_cvtsi128_si32(sums)) +
            static_cast<unsigned>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
#endif
    // No branch per byte: a byte that is no digit turns `bad` negative.
    int bad = 0;
    for (; i < pairs; ++i) {
        const int high = kHexValues[digits[2 * i]];
        const int low = kHexValues[digits[2 * i + 1]];
        bad |= high | low;
        total += static_cast<unsigned>(high * 16 + low);
    }
    sum = total;
    return bad >= 0;
}

}  // namespace

std::string Shown(std::uint8_t b) {
    char text[8];
    if (b >= 0x20 && b < 0x7F) {
        std::snprintf(text, sizeof text, "'%c'", static_cast<char>(b));
    } else {
        std::snprintf(text, sizeof text, "0x%02X", b);
    }
    return text;
}

std::string Formatted(const char* format, unsigned a, unsigned b) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

bool ParseSRecord(std::span<const std::uint8_t> record, SRecordFields& fields,
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
    const std::size_t size = digits.size() / 2;
    // Every pair checked and summed in one pass; only when one is no digit is the first
    // such byte looked for.
    unsigned sum = 0;  // of every byte; the checksum's own is taken off below
    if (!SumHexPairs(digits.data(), size, sum)) {
        problem = NotADigit(digits);
        return false;
    }
    if (digits.size() % 2 != 0) {
        problem = kHexValues[digits.back()] < 0
                      ? Shown(digits.back()) + " is not a hexadecimal digit"
                      : "odd number of hexadecimal digits";
        return false;
    }
    if (digits.empty()) {
        problem = "no byte count";
        return false;
    }
    const unsigned count = HexByte(digits.data());
    const unsigned following = static_cast<unsigned>(size - 1);
    if (count != following) {
        problem =
            Formatted("byte count %u does not match the %u bytes that follow it", count, following);
        return false;
    }
    const unsigned addressBytes = kAddressBytes[type - '0'];
    if (count < addressBytes + 1) {
        problem = Formatted("byte count %u is too small for a %u-byte address and the checksum",
                            count, addressBytes);
        return false;
    }
    const unsigned checksum = HexByte(digits.data() + 2 * (size - 1));
    sum -= checksum;
    const unsigned expected = ~sum & 0xFFu;
    if (checksum != expected) {
        problem = Formatted("checksum mismatch: the record says 0x%02X, its bytes give 0x%02X",
                            checksum, expected);
        return false;
    }
    fields.type = type - '0';
    fields.address = 0;
    for (unsigned i = 0; i < addressBytes; ++i) {
        fields.address = (fields.address << 8) | HexByte(digits.data() + 2 + 2 * i);
    }
    fields.dataAt = 2 + 2 * (1 + addressBytes);
    fields.dataLength = count - addressBytes - 1;
    return true;
}

}  // namespace kx
