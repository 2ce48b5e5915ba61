#include "serial_line.h"

#include <algorithm>
#include <utility>

namespace kxsim {

void SerialLine::Push(std::uint8_t byte, const LinkSettings& link, Nanos now,
                      std::optional<std::uint64_t> written) {
    if (m_head == m_queue.size()) {
        m_queue.clear();  // keeps its room
        m_head = 0;
        m_links.clear();
    }
    m_queue.push_back(Pending{now, written.value_or(kNotWritten), LinkIndex(link), byte});
    if (Size() == 1 && !m_stalled) {
        StartHead(now);
    }
}

void SerialLine::Retune(const LinkSettings& link) {
    const std::size_t first = m_head + (m_headOnWire ? 1 : 0);
    if (first == m_queue.size()) {
        return;
    }
    const std::uint32_t index = LinkIndex(link);
    for (std::size_t i = first; i < m_queue.size(); ++i) {
        m_queue[i].link = index;
    }
}

std::uint32_t SerialLine::LinkIndex(const LinkSettings& link) {
    if (m_links.empty() || m_links.back() != link) {
        m_links.push_back(link);
    }
    return static_cast<std::uint32_t>(m_links.size() - 1);
}

SerialLine::Frame SerialLine::FrameOf(const Pending& pending) const {
    return Frame{pending.byte, LinkOf(pending),
                 pending.written == kNotWritten ? std::nullopt
                                                : std::optional<std::uint64_t>(pending.written)};
}

SerialLine::Frame SerialLine::PopArrived() {
    const Frame frame = FrameOf(Front());
    const Nanos end = m_headEnd;
    ++m_head;
    if (m_head >= kCompactAfter && m_head >= Size()) {
        // A host that writes while the line is still busy never lets it empty: drop the
        // frames gone by now and then, so the room stays bounded by what waits.
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    m_headOnWire = false;
    if (Size() > 0 && !m_stalled) {
        StartHead(std::max(end, Front().queuedAt));
    }
    return frame;
}

void SerialLine::Stall(bool stalled, Nanos now) {
    m_stalled = stalled;
    m_headOnWire = false;
    if (!stalled && Size() > 0) {
        StartHead(now);
    }
}

void SerialLine::Clear() {
    m_queue.clear();
    m_head = 0;
    m_links.clear();
    m_headOnWire = false;
}

void SerialLine::StartHead(Nanos at) {
    m_headOnWire = true;
    m_headEnd = at + m_frameTime.Of(LinkOf(Front()));
}

bool ChipBuffer::Push(std::uint8_t byte, Nanos now, Nanos latency) {
    if (m_bytes.empty()) {
        m_flushAt = now + latency;
    }
    m_bytes.push_back(byte);
    return m_bytes.size() >= kPacketPayload;
}

std::deque<std::uint8_t> ChipBuffer::Take() {
    return std::exchange(m_bytes, {});
}

}  // namespace kxsim
