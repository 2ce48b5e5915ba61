// Any bytes as a firmware file: the record reader and the packet builder must end, keep
// every packet inside its buffer, send only bytes taken from the file in their order, and
// keep the stage rules; and a file read in buffered pieces must give exactly what the
// same file read byte by byte gives. The first two bytes choose where the file stops
// being readable.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "byte_source.h"
#include "fuzz_check.h"
#include "packet_builder.h"

namespace {

using namespace kx;

// A file that fails to read once `failAt` bytes have been consumed; with `buffered` it
// also hands out the bytes before that point in one piece.
class FuzzFile : public ByteSource {
  public:
    FuzzFile(std::string_view bytes, std::uint64_t failAt, bool buffered)
        : m_bytes(bytes), m_failAt(failAt), m_buffered(buffered) {}
    int Next() override {
        if (m_bytes.Consumed() == m_failAt) {
            return kError;
        }
        return m_bytes.Next();
    }
    std::uint64_t Consumed() const override { return m_bytes.Consumed(); }
    int Peek() const override { return m_bytes.Consumed() == m_failAt ? kError : m_bytes.Peek(); }
    std::span<const std::uint8_t> Buffered() const override {
        if (!m_buffered) {
            return {};
        }
        const std::span<const std::uint8_t> rest = m_bytes.Buffered();
        const std::uint64_t readable = m_failAt - std::min(m_failAt, Consumed());
        return rest.first(static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), readable)));
    }
    void Skip(std::size_t count) override { m_bytes.Skip(count); }

  private:
    MemoryByteSource m_bytes;
    std::uint64_t m_failAt;
    bool m_buffered;
};

struct Run {
    std::uint8_t packet[kPacketCapacity];
    std::uint16_t packetLen = 0;
    bool firstStage = true;
    bool lastWasSwitch = false;
    PacketBuilder builder{packet, packetLen, firstStage, lastWasSwitch};
};

bool Same(const BuildResult& a, const BuildResult& b) {
    return a.outcome == b.outcome && a.switchAfter == b.switchAfter &&
           a.recordOffset == b.recordOffset && a.recordLine == b.recordLine;
}

// The packet's bytes occur, in order, among the file bytes consumed to build it.
bool TakenFrom(const std::uint8_t* packet, std::size_t length, std::string_view consumed) {
    std::size_t next = 0;
    for (const char c : consumed) {
        if (next < length && static_cast<std::uint8_t>(c) == packet[next]) {
            ++next;
        }
    }
    return next == length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint64_t failAt = data[0] == 0xFF ? data[1] : UINT64_MAX;
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
    FuzzFile file(text, failAt, true);
    FuzzFile bytewise(text, failAt, false);
    Run run;
    Run reference;
    std::uint8_t* const packet = run.packet;
    std::uint16_t& packetLen = run.packetLen;
    bool& firstStage = run.firstStage;
    bool& lastWasSwitch = run.lastWasSwitch;
    PacketBuilder& builder = run.builder;
    builder.Restart();
    reference.builder.Restart();

    // Every packet consumes at least its first byte, so the file runs out in time.
    for (std::size_t builds = 0;; ++builds) {
        KX_FUZZ_CHECK(builds <= text.size() + 1);
        const std::uint64_t before = file.Consumed();
        const bool firstStageBefore = firstStage;
        const bool lastWasSwitchBefore = lastWasSwitch;
        const BuildResult result = builder.Build(file);
        const std::uint64_t after = file.Consumed();
        KX_FUZZ_CHECK(after >= before && after <= text.size());

        const BuildResult expected = reference.builder.Build(bytewise);
        KX_FUZZ_CHECK(Same(result, expected));
        KX_FUZZ_CHECK(after == bytewise.Consumed());
        KX_FUZZ_CHECK(packetLen == reference.packetLen &&
                      std::memcmp(packet, reference.packet, packetLen) == 0);
        KX_FUZZ_CHECK(firstStage == reference.firstStage &&
                      lastWasSwitch == reference.lastWasSwitch);

        switch (result.outcome) {
            case BuildOutcome::Packet: {
                KX_FUZZ_CHECK(packetLen >= 1 && packetLen <= kPacketCapacity);
                KX_FUZZ_CHECK(packet[0] == 'S' || packet[0] == 'Z');
                KX_FUZZ_CHECK(TakenFrom(packet, packetLen, text.substr(before, after - before)));
                KX_FUZZ_CHECK(result.recordOffset >= before && result.recordOffset < after);
                KX_FUZZ_CHECK(text[result.recordOffset] == static_cast<char>(packet[0]));
                // The switch record: the first Z of the first stage, alone in its packet.
                const bool isSwitch = firstStageBefore && packet[0] == 'Z';
                KX_FUZZ_CHECK(result.switchAfter == isSwitch);
                KX_FUZZ_CHECK(firstStage == (firstStageBefore && !isSwitch));
                KX_FUZZ_CHECK(!isSwitch || lastWasSwitch);
                KX_FUZZ_CHECK(firstStageBefore || !lastWasSwitch);
                break;
            }
            case BuildOutcome::EndOfFile:
                KX_FUZZ_CHECK(packetLen == 0 && after == text.size());
                KX_FUZZ_CHECK(builder.Build(file).outcome == BuildOutcome::EndOfFile);
                return 0;
            case BuildOutcome::ReadError:
            case BuildOutcome::RecordTooLong:
                KX_FUZZ_CHECK(result.outcome != BuildOutcome::ReadError || after == failAt);
                KX_FUZZ_CHECK(packetLen == 0);
                KX_FUZZ_CHECK(firstStage == firstStageBefore);
                KX_FUZZ_CHECK(lastWasSwitch == lastWasSwitchBefore);
                return 0;
        }
    }
}
