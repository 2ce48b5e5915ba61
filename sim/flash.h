// NOR-like flash: erasing sets every byte to 0xFF, programming can only clear bits.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kxsim {

class Flash {
  public:
    enum class Fault { None, OutOfRange, SetsBit };

    // A flash of `size` bytes at `base`, holding the previous firmware (not erased).
    void Configure(std::uint32_t base, std::uint32_t size);
    void Erase();
    Fault Check(std::uint32_t address, std::span<const std::uint8_t> data) const;
    // Programs what Check() accepted: each byte becomes old AND new.
    void Program(std::uint32_t address, std::span<const std::uint8_t> data);

    std::uint32_t Base() const { return m_base; }
    // Every byte, in a copy: the flash is held page by page.
    std::vector<std::uint8_t> Bytes() const;

  private:
    static constexpr std::uint32_t kPageSize = 4096;
    using Page = std::array<std::uint8_t, kPageSize>;

    // A page is held only once programmed: a bank of dongles models every one's flash in
    // every process, and an image fills only part of a large flash. A page never
    // programmed holds 0xFF after an erase and the previous firmware before.
    void FillUnprogrammed(std::uint32_t offset, std::span<std::uint8_t> bytes) const;
    std::uint8_t At(std::uint32_t offset) const;
    Page& Programmed(std::uint32_t page);

    std::uint32_t m_base = 0;
    std::uint32_t m_size = 0;
    bool m_erased = false;
    std::vector<std::unique_ptr<Page>> m_pages;  // null until programmed
};

}  // namespace kxsim
