#include "flash.h"

#include <algorithm>
#include <array>

namespace kxsim {

void Flash::Configure(std::uint32_t base, std::uint32_t size) {
    m_base = base;
    m_size = size;
    m_materialised = false;
    m_bytes = {};
}

void Flash::Materialise() const {
    if (m_materialised) {
        return;
    }
    m_materialised = true;
    m_bytes.resize(m_size);
    // Stands in for the firmware the dongle shipped with: never all 0xFF, so an upgrade that
    // skipped the erase or missed an address shows in the image.
    // Byte i is (37 i + 11 (i >> 8) + 0x5A) mod 255: each block of 256 bytes is the first
    // one's row raised by 48 (37 * 256 + 11, mod 255) per block. Filled row by row rather
    // than divided anew for each byte.
    std::array<std::uint8_t, 256> row{};
    for (unsigned j = 0; j < row.size(); ++j) {
        row[j] = static_cast<std::uint8_t>((j * 37u + 0x5Au) % 0xFFu);
    }
    for (std::uint32_t at = 0, block = 0; at < m_size; at += 256, ++block) {
        const unsigned raise = (block * 48u) % 0xFFu;
        const std::uint32_t count = std::min<std::uint32_t>(256, m_size - at);
        for (std::uint32_t j = 0; j < count; ++j) {
            const unsigned value = row[j] + raise;
            m_bytes[at + j] = static_cast<std::uint8_t>(value >= 0xFFu ? value - 0xFFu : value);
        }
    }
}

const std::vector<std::uint8_t>& Flash::Bytes() const {
    Materialise();
    return m_bytes;
}

void Flash::Erase() {
    m_materialised = true;
    m_bytes.assign(m_size, std::uint8_t{0xFF});
}

Flash::Fault Flash::Check(std::uint32_t address, std::span<const std::uint8_t> data) const {
    const std::uint64_t start = address;
    const std::uint64_t end = start + data.size();
    if (start < m_base || end > std::uint64_t{m_base} + m_size) {
        return Fault::OutOfRange;
    }
    Materialise();
    const std::size_t offset = address - m_base;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if ((data[i] & ~m_bytes[offset + i]) != 0) {
            return Fault::SetsBit;
        }
    }
    return Fault::None;
}

void Flash::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
    Materialise();
    const std::size_t offset = address - m_base;
    for (std::size_t i = 0; i < data.size(); ++i) {
        m_bytes[offset + i] &= data[i];
    }
}

}  // namespace kxsim
