// The firmware bytes as the packet builder sees them: one byte at a time, each consumed
// exactly once, with end of file and read errors told apart.
#pragma once

#include <cstdint>
#include <string_view>

namespace kx {

class ByteSource {
  public:
    static constexpr int kEnd = -1, kError = -2;

    virtual ~ByteSource() = default;
    // 0..255, kEnd at end of file (and on every call after it), kError on a read error.
    virtual int Next() = 0;
    // Offset of the next byte to be consumed.
    virtual std::uint64_t Consumed() const = 0;
};

// Bytes held in memory; the text must outlive the source.
class MemoryByteSource : public ByteSource {
  public:
    explicit MemoryByteSource(std::string_view bytes) : m_bytes(bytes) {}

    int Next() override {
        if (m_next == m_bytes.size()) {
            return kEnd;
        }
        return static_cast<unsigned char>(m_bytes[m_next++]);
    }
    std::uint64_t Consumed() const override { return m_next; }

  private:
    std::string_view m_bytes;
    std::size_t m_next = 0;
};

}  // namespace kx
