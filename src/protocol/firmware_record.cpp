#include "firmware_record.h"

#include <cstdio>

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
    // Every pair checked and summed in one pass with no branch per byte: a byte that is no
    // digit turns `bad` negative, and only then is it looked for, first one first.
    unsigned sum = 0;  // of every byte; the checksum's own is taken off below
    int bad = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const int high = kHexValues[digits[2 * i]];
        const int low = kHexValues[digits[2 * i + 1]];
        bad |= high | low;
        sum += static_cast<unsigned>(high * 16 + low);
    }
    if (bad < 0) {
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
