#include "flash.h"

#include <algorithm>
#include <array>

namespace kxsim {

void Flash::Configure(std::uint32_t base, std::uint32_t size) {
    m_base = base;
    m_bytes.resize(size);
    // Stands in for the firmware the dongle shipped with: never all 0xFF, so an upgrade that
    // skipped the erase or missed an address shows in the image.
    // Byte i is (37 i + 11 (i >> 8) + 0x5A) mod 255: each block of 256 bytes is the first
    // one's row raised by 48 (37 * 256 + 11, mod 255) per block. Filled row by row rather
    // than divided anew for each byte: a process models every dongle of a bank, flash and all.
    std::array<std::uint8_t, 256> row{};
    for (unsigned j = 0; j < row.size(); ++j) {
        row[j] = static_cast<std::uint8_t>((j * 37u + 0x5Au) % 0xFFu);
    }
    for (std::uint32_t at = 0, block = 0; at < size; at += 256, ++block) {
        const unsigned raise = (block * 48u) % 0xFFu;
        const std::uint32_t count = std::min<std::uint32_t>(256, size - at);
        for (std::uint32_t j = 0; j < count; ++j) {
            const unsigned value = row[j] + raise;
            m_bytes[at + j] = static_cast<std::uint8_t>(value >= 0xFFu ? value - 0xFFu : value);
        }
    }
}

void Flash::Erase() {
    std::fill(m_bytes.begin(), m_bytes.end(), std::uint8_t{0xFF});
}

Flash::Fault Flash::Check(std::uint32_t address, std::span<const std::uint8_t> data) const {
    const std::uint64_t start = address;
    const std::uint64_t end = start + data.size();
    if (start < m_base || end > std::uint64_t{m_base} + m_bytes.size()) {
        return Fault::OutOfRange;
    }
    const std::size_t offset = address - m_base;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if ((data[i] & ~m_bytes[offset + i]) != 0) {
            return Fault::SetsBit;
        }
    }
    return Fault::None;
}

void Flash::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::size_t offset = address - m_base;
    for (std::size_t i = 0; i < data.size(); ++i) {
        m_bytes[offset + i] &= data[i];
    }
}

}  // namespace kxsim
