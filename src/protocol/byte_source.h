// The firmware bytes as the packet builder sees them: one byte at a time, each consumed
// exactly once, with end of file and read errors told apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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
    // What Next() would return, without consuming it.
    virtual int Peek() const = 0;

    // The bytes Next() would return next, as far as they are at hand without reading;
    // empty when none are (Next() then reads on). Skip(n) consumes n of them. A source
    // that offers none is read one byte at a time.
    virtual std::span<const std::uint8_t> Buffered() const { return {}; }
    virtual void Skip(std::size_t /*count*/) {}
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
    int Peek() const override {
        return m_next == m_bytes.size() ? kEnd : static_cast<unsigned char>(m_bytes[m_next]);
    }
    std::span<const std::uint8_t> Buffered() const override {
        return {reinterpret_cast<const std::uint8_t*>(m_bytes.data()) + m_next,
                m_bytes.size() - m_next};
    }
    void Skip(std::size_t count) override { m_next += count; }

  private:
    std::string_view m_bytes;
    std::size_t m_next = 0;
};

}  // namespace kx
