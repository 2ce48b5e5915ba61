// NOR-like flash: erasing sets every byte to 0xFF, programming can only clear bits.
#pragma once

#include <cstdint>
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
    const std::vector<std::uint8_t>& Bytes() const;

  private:
    // The previous firmware is made when the flash is first looked at, not for every dongle
    // of a bank as the library loads: a process models them all and flashes one.
    void Materialise() const;

    std::uint32_t m_base = 0;
    std::uint32_t m_size = 0;
    mutable bool m_materialised = false;
    mutable std::vector<std::uint8_t> m_bytes;
};

}  // namespace kxsim
