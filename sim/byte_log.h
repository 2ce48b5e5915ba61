// What the host wrote and what the device received, kept for tests and the packet dump.
// The device ordinarily receives the very bytes the host wrote, one after another: the
// received log holds runs of the written bytes' positions, and as themselves only the bytes
// that arrived otherwise (framed with settings the device does not use, or written before
// the logs were cleared). Bytes are kept in blocks, so a log that grows never holds two
// copies of itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "link.h"

namespace kxsim {

class WriteLog {
  public:
    // What one FT_Write handed over, with the host link in force.
    struct Packet {
        std::uint64_t start = 0;  // position of its first byte
        std::size_t size = 0;
        LinkSettings link;
    };

    // Returns the position of the first byte; positions count on across Clear().
    std::uint64_t Add(const std::uint8_t* bytes, std::size_t count, const LinkSettings& link);
    std::size_t PacketCount() const { return m_packets.size(); }
    const Packet& PacketAt(std::size_t index) const { return m_packets[index]; }
    // Copies at most `cap` bytes of the packet to `buf`; returns its size.
    std::size_t CopyPacket(std::size_t index, unsigned char* buf, std::size_t cap) const;
    // The byte written at `position`, while the log keeps it.
    std::optional<std::uint8_t> ByteAt(std::uint64_t position) const;
    bool Holds(std::uint64_t position) const {
        return position >= m_first && position - m_first < m_bytes.size();
    }
    void Clear();

  private:
    std::deque<std::uint8_t> m_bytes;
    std::uint64_t m_first = 0;  // position of m_bytes.front()
    std::vector<Packet> m_packets;
};

class ReceivedLog {
  public:
    // `byte` arrived: the byte written at `same` unchanged, or (none) a byte of its own.
    void Add(std::uint8_t byte, std::optional<std::uint64_t> same, const WriteLog& written) {
        if (same && !m_runs.empty() && !m_runs.back().literal &&
            m_runs.back().from + m_runs.back().count == *same && written.Holds(*same)) {
            ++m_runs.back().count;  // the usual case, once per byte: the run goes on
            ++m_size;
            return;
        }
        Begin(byte, same, written);
    }
    // Copies at most `cap` bytes to `buf`; returns how many were received.
    std::size_t Copy(const WriteLog& written, unsigned char* buf, std::size_t cap) const;
    void Clear();

  private:
    void Begin(std::uint8_t byte, std::optional<std::uint64_t> same, const WriteLog& written);

    struct Run {
        std::uint64_t from = 0;  // a written position, or an index into m_literals
        std::uint64_t count = 0;
        bool literal = false;
    };

    std::vector<Run> m_runs;
    std::deque<std::uint8_t> m_literals;
    std::uint64_t m_size = 0;
};

}  // namespace kxsim
