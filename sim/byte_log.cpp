#include "byte_log.h"

#include <algorithm>

namespace kxsim {

std::uint64_t WriteLog::Add(const std::uint8_t* bytes, std::size_t count,
                            const LinkSettings& link) {
    const std::uint64_t start = m_first + m_bytes.size();
    m_bytes.insert(m_bytes.end(), bytes, bytes + count);
    m_packets.push_back(Packet{start, count, link});
    return start;
}

std::size_t WriteLog::CopyPacket(std::size_t index, unsigned char* buf, std::size_t cap) const {
    const Packet& packet = m_packets[index];
    if (buf != nullptr) {
        const auto begin = m_bytes.begin() + static_cast<std::ptrdiff_t>(packet.start - m_first);
        std::copy_n(begin, std::min(cap, packet.size), buf);
    }
    return packet.size;
}

std::optional<std::uint8_t> WriteLog::ByteAt(std::uint64_t position) const {
    if (!Holds(position)) {
        return std::nullopt;
    }
    return m_bytes[static_cast<std::size_t>(position - m_first)];
}

void WriteLog::Clear() {
    m_first += m_bytes.size();
    m_bytes.clear();
    m_packets.clear();
}

void ReceivedLog::Begin(std::uint8_t byte, std::optional<std::uint64_t> same,
                        const WriteLog& written) {
    ++m_size;
    if (same && written.Holds(*same)) {
        if (!m_runs.empty() && !m_runs.back().literal &&
            m_runs.back().from + m_runs.back().count == *same) {
            ++m_runs.back().count;
        } else {
            m_runs.push_back(Run{*same, 1, false});
        }
        return;
    }
    if (!m_runs.empty() && m_runs.back().literal) {
        ++m_runs.back().count;
    } else {
        m_runs.push_back(Run{m_literals.size(), 1, true});
    }
    m_literals.push_back(byte);
}

std::size_t ReceivedLog::Copy(const WriteLog& written, unsigned char* buf, std::size_t cap) const {
    if (buf == nullptr) {
        return static_cast<std::size_t>(m_size);
    }
    std::size_t out = 0;
    for (const Run& run : m_runs) {
        for (std::uint64_t i = 0; i < run.count && out < cap; ++i) {
            buf[out++] = run.literal ? m_literals[static_cast<std::size_t>(run.from + i)]
                                     : *written.ByteAt(run.from + i);
        }
    }
    return static_cast<std::size_t>(m_size);
}

void ReceivedLog::Clear() {
    m_runs.clear();
    m_literals.clear();
    m_size = 0;
}

}  // namespace kxsim
