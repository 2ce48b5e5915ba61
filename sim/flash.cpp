#include "flash.h"

#include <algorithm>

namespace kxsim {

void Flash::Configure(std::uint32_t base, std::uint32_t size) {
    m_base = base;
    m_size = size;
    m_erased = false;
    m_pages.clear();
    m_pages.resize((std::uint64_t{size} + kPageSize - 1) / kPageSize);
}

void Flash::FillUnprogrammed(std::uint32_t offset, std::span<std::uint8_t> bytes) const {
    if (m_erased) {
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0xFF});
        return;
    }
    // Stands in for the firmware the dongle shipped with: never all 0xFF, so an upgrade that
    // skipped the erase or missed an address shows in the image.
    // Byte i is (37 i + 11 (i >> 8) + 0x5A) mod 255: each block of 256 bytes is the first
    // one's row raised by 48 (37 * 256 + 11, mod 255) per block. Made row by row rather
    // than divided anew for each byte.
    static const std::array<std::uint8_t, 256> row = [] {
        std::array<std::uint8_t, 256> values{};
        for (unsigned j = 0; j < values.size(); ++j) {
            values[j] = static_cast<std::uint8_t>((j * 37u + 0x5Au) % 0xFFu);
        }
        return values;
    }();
    for (std::size_t i = 0; i < bytes.size();) {
        const std::uint32_t at = offset + static_cast<std::uint32_t>(i);
        const unsigned raise = ((at >> 8) * 48u) % 0xFFu;
        for (unsigned j = at & 0xFFu; j < 256 && i < bytes.size(); ++j, ++i) {
            const unsigned value = row[j] + raise;
            bytes[i] = static_cast<std::uint8_t>(value >= 0xFFu ? value - 0xFFu : value);
        }
    }
}

std::uint8_t Flash::At(std::uint32_t offset) const {
    if (const Page* page = m_pages[offset / kPageSize].get(); page != nullptr) {
        return (*page)[offset % kPageSize];
    }
    std::uint8_t byte = 0;
    FillUnprogrammed(offset, std::span<std::uint8_t>(&byte, 1));
    return byte;
}

Flash::Page& Flash::Programmed(std::uint32_t page) {
    std::unique_ptr<Page>& held = m_pages[page];
    if (!held) {
        held = std::make_unique<Page>();
        FillUnprogrammed(page * kPageSize, *held);
    }
    return *held;
}

std::vector<std::uint8_t> Flash::Bytes() const {
    std::vector<std::uint8_t> bytes(m_size);
    for (std::uint32_t at = 0; at < m_size; at += kPageSize) {
        const std::span<std::uint8_t> part(bytes.data() + at, std::min(kPageSize, m_size - at));
        if (const Page* page = m_pages[at / kPageSize].get(); page != nullptr) {
            std::copy_n(page->begin(), part.size(), part.begin());
        } else {
            FillUnprogrammed(at, part);
        }
    }
    return bytes;
}

void Flash::Erase() {
    m_erased = true;
    for (std::unique_ptr<Page>& page : m_pages) {
        page.reset();
    }
}

Flash::Fault Flash::Check(std::uint32_t address, std::span<const std::uint8_t> data) const {
    const std::uint64_t start = address;
    const std::uint64_t end = start + data.size();
    if (start < m_base || end > std::uint64_t{m_base} + m_size) {
        return Fault::OutOfRange;
    }
    const std::uint32_t offset = address - m_base;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if ((data[i] & ~At(offset + static_cast<std::uint32_t>(i))) != 0) {
            return Fault::SetsBit;
        }
    }
    return Fault::None;
}

void Flash::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
    const std::uint32_t offset = address - m_base;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint32_t at = offset + static_cast<std::uint32_t>(i);
        Programmed(at / kPageSize)[at % kPageSize] &= data[i];
    }
}

}  // namespace kxsim
