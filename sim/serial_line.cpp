#include "serial_line.h"

#include <algorithm>
#include <utility>

namespace kxsim {

void SerialLine::Push(std::uint8_t byte, const LinkSettings& link, Nanos now,
                      std::optional<std::uint64_t> written) {
    m_queue.push_back(Pending{Frame{byte, link, written}, now});
    if (m_queue.size() == 1 && !m_stalled) {
        StartHead(now);
    }
}

void SerialLine::Retune(const LinkSettings& link) {
    for (std::size_t i = m_headOnWire ? 1 : 0; i < m_queue.size(); ++i) {
        m_queue[i].frame.link = link;
    }
}

std::optional<Nanos> SerialLine::NextArrival() const {
    if (!m_headOnWire) {
        return std::nullopt;
    }
    return m_headEnd;
}

SerialLine::Frame SerialLine::PopArrived() {
    const Frame frame = m_queue.front().frame;
    const Nanos end = m_headEnd;
    m_queue.pop_front();
    m_headOnWire = false;
    if (!m_queue.empty() && !m_stalled) {
        StartHead(std::max(end, m_queue.front().queuedAt));
    }
    return frame;
}

void SerialLine::Stall(bool stalled, Nanos now) {
    m_stalled = stalled;
    m_headOnWire = false;
    if (!stalled && !m_queue.empty()) {
        StartHead(now);
    }
}

void SerialLine::Clear() {
    m_queue.clear();
    m_headOnWire = false;
}

void SerialLine::StartHead(Nanos at) {
    m_headOnWire = true;
    m_headEnd = at + m_scale.Scaled(FrameSeconds(m_queue.front().frame.link));
}

bool ChipBuffer::Push(std::uint8_t byte, Nanos now, Nanos latency) {
    if (m_bytes.empty()) {
        m_flushAt = now + latency;
    }
    m_bytes.push_back(byte);
    return m_bytes.size() >= kPacketPayload;
}

std::optional<Nanos> ChipBuffer::NextFlush() const {
    if (m_bytes.empty()) {
        return std::nullopt;
    }
    return m_flushAt;
}

std::deque<std::uint8_t> ChipBuffer::Take() {
    return std::exchange(m_bytes, {});
}

}  // namespace kxsim
