#include "flash.h"

#include <algorithm>

namespace kxsim {

void Flash::Configure(std::uint32_t base, std::uint32_t size) {
    m_base = base;
    m_bytes.resize(size);
    // Stands in for the firmware the dongle shipped with: never all 0xFF, so an upgrade that
    // skipped the erase or missed an address shows in the image.
    for (std::uint32_t i = 0; i < size; ++i) {
        m_bytes[i] = static_cast<std::uint8_t>((i * 37u + (i >> 8) * 11u + 0x5Au) % 0xFFu);
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
