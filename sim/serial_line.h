// One direction of the serial line: bytes wait in a queue and leave one frame after another
// at the sender's line rate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "link.h"
#include "model_clock.h"

namespace kxsim {

class SerialLine {
  public:
    struct Frame {
        std::uint8_t byte = 0;
        LinkSettings link;                     // the sender's settings it was framed with
        std::optional<std::uint64_t> written;  // the host's write log position, if from there
    };

    explicit SerialLine(const TimeScale& scale) : m_frameTime(scale) {}

    void Push(std::uint8_t byte, const LinkSettings& link, Nanos now,
              std::optional<std::uint64_t> written = std::nullopt);
    // Bytes not yet on the wire will go out with `link` (the frame on the wire keeps its own).
    void Retune(const LinkSettings& link);
    // When the frame on the wire has fully left; none while the queue is empty or stalled.
    std::optional<Nanos> NextArrival() const {
        return m_headOnWire ? std::optional<Nanos>(m_headEnd) : std::nullopt;
    }
    // Calls `visit(frame, arrival)` for each frame still to arrive, in order, with the time
    // it will have fully left if nothing changes meanwhile, until `visit` returns false.
    // None while the line is stalled.
    template <class Visit>
    void ForEachUpcoming(Visit visit) const;
    // Takes the frame whose arrival time has come.
    Frame PopArrived();
    // A stalled line sends nothing; the frame on the wire starts again when released.
    void Stall(bool stalled, Nanos now);
    // Bytes that have not fully left, the one on the wire included.
    std::size_t Size() const { return m_queue.size() - m_head; }
    void Clear();

  private:
    // A frame as it waits: 24 bytes, its link an index into m_links (a transfer queues
    // every byte it sends, nearly all with one link).
    struct Pending {
        Nanos queuedAt = 0;
        std::uint64_t written = kNotWritten;
        std::uint32_t link = 0;
        std::uint8_t byte = 0;
    };
    static constexpr std::uint64_t kNotWritten = ~std::uint64_t{0};
    static constexpr std::size_t kCompactAfter = 1024;

    void StartHead(Nanos at);
    const Pending& Front() const { return m_queue[m_head]; }
    const LinkSettings& LinkOf(const Pending& pending) const { return m_links[pending.link]; }
    Frame FrameOf(const Pending& pending) const;
    std::uint32_t LinkIndex(const LinkSettings& link);

    FrameTimer m_frameTime;
    // The frames still to arrive are m_queue[m_head..]: a vector whose room is reused, as
    // a transfer pushes and pops every byte it sends.
    std::vector<Pending> m_queue;
    std::size_t m_head = 0;
    std::vector<LinkSettings> m_links;  // of the frames queued since the queue was last empty
    bool m_headOnWire = false;
    Nanos m_headEnd = 0;
    bool m_stalled = false;
};

template <class Visit>
void SerialLine::ForEachUpcoming(Visit visit) const {
    if (!m_headOnWire) {
        return;
    }
    Nanos arrival = m_headEnd;
    for (std::size_t i = m_head; i < m_queue.size(); ++i) {
        const Pending& pending = m_queue[i];
        if (i > m_head) {
            // Queued before the previous frame left, so it follows that frame at once.
            arrival = std::max(arrival, pending.queuedAt) + m_frameTime.Of(LinkOf(pending));
        }
        if (!visit(FrameOf(pending), arrival)) {
            return;
        }
    }
}

// The FTDI chip holds received bytes until a USB packet's worth (62) has gathered or its
// latency timer expires, so a lone reply reaches the driver one latency late.
class ChipBuffer {
  public:
    static constexpr std::size_t kPacketPayload = 62;

    // Returns true when the buffer is full and must go to the host now.
    bool Push(std::uint8_t byte, Nanos now, Nanos latency);
    std::optional<Nanos> NextFlush() const {
        return m_bytes.empty() ? std::nullopt : std::optional<Nanos>(m_flushAt);
    }
    std::deque<std::uint8_t> Take();
    std::size_t Size() const { return m_bytes.size(); }
    void Clear() { m_bytes.clear(); }

  private:
    std::deque<std::uint8_t> m_bytes;
    Nanos m_flushAt = 0;
};

}  // namespace kxsim
