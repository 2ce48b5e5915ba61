// Drives a PacketBuilder over a whole file the way the dialog does, collecting what
// would go out on the wire.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "byte_source.h"
#include "packet_builder.h"

namespace kx::test {

struct Sent {
    std::string bytes;
    bool switchAfter = false;
    bool operator==(const Sent&) const = default;
};

inline void PrintTo(const Sent& s, std::ostream* os) {
    *os << ::testing::PrintToString(s.bytes) << (s.switchAfter ? " +switch" : "");
}

// The transfer state the dialog keeps, as the builder sees it.
struct Transfer {
    std::uint8_t packet[kPacketCapacity] = {};
    std::uint16_t packetLen = 0;
    bool firstStage = true;
    bool lastWasSwitch = false;
    PacketBuilder builder{packet, packetLen, firstStage, lastWasSwitch};

    std::string Packet() const {
        return std::string(reinterpret_cast<const char*>(packet), packetLen);
    }

    // Builds packets until an outcome other than Packet; that last result is returned.
    BuildResult BuildAll(ByteSource& file, std::vector<Sent>& sent) {
        for (;;) {
            const BuildResult r = builder.Build(file);
            if (r.outcome != BuildOutcome::Packet) {
                return r;
            }
            sent.push_back({Packet(), r.switchAfter});
        }
    }
};

// Names a parameterised case after its `name` field.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
    return param.param.name;
}

// Fails with kError once `failAt` bytes have been consumed.
class FailingByteSource : public ByteSource {
  public:
    FailingByteSource(std::string_view bytes, std::uint64_t failAt)
        : m_bytes(bytes), m_failAt(failAt) {}
    int Next() override {
        if (m_bytes.Consumed() == m_failAt) {
            return kError;
        }
        return m_bytes.Next();
    }
    std::uint64_t Consumed() const override { return m_bytes.Consumed(); }
    int Peek() const override { return m_bytes.Consumed() == m_failAt ? kError : m_bytes.Peek(); }

  private:
    MemoryByteSource m_bytes;
    std::uint64_t m_failAt;
};

}  // namespace kx::test
