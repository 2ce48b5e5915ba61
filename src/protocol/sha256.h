// SHA-256 of a byte sequence, written out in full so that it builds on every platform the
// tool does without a crypto library: the digest identifies a firmware file in reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kx {

// Incremental form, for data that arrives in pieces.
class Sha256 {
  public:
    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 32> Finish();  // the object must not be updated afterwards

    // Whether blocks go through the processor's SHA instructions where it has them (the
    // default); returns whether it has them. For tests of both paths.
    static bool UseProcessorInstructions(bool use);

  private:
    void Blocks(const std::uint8_t* data, std::size_t count);
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_buffered = 0;
    std::uint64_t m_totalBytes = 0;
};

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace kx
