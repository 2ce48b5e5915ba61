// Any bytes as a firmware file: the check must end, report its findings in line order on
// lines the file has, and agree with the packet builder: a file it passes is one the
// builder sends whole, in exactly the packets and bytes per stage the check counted, and
// a packet the builder cannot hold is one the check refuses.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "byte_source.h"
#include "firmware_check.h"
#include "fuzz_check.h"
#include "packet_builder.h"

namespace {

using namespace kx;

// Lines as the builder counts them: CR LF, LF alone and CR alone each end one.
std::uint32_t LineCount(std::span<const std::uint8_t> bytes) {
    std::uint32_t lines = 1;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0x0D || (bytes[i] == 0x0A && (i == 0 || bytes[i - 1] != 0x0D))) {
            ++lines;
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const ImageCheck check = CheckImage(bytes);

    const std::uint32_t lines = LineCount(bytes);
    for (std::size_t i = 0; i < check.findings.size(); ++i) {
        KX_FUZZ_CHECK(check.findings[i].line <= lines);
        KX_FUZZ_CHECK(!check.findings[i].problem.empty());
        KX_FUZZ_CHECK(i == 0 || check.findings[i - 1].line <= check.findings[i].line);
    }
    std::uint64_t covered = 0;
    for (std::size_t i = 0; i < check.ranges.size(); ++i) {
        KX_FUZZ_CHECK(check.ranges[i].first <= check.ranges[i].last);
        KX_FUZZ_CHECK(i == 0 || check.ranges[i - 1].last + 1ull < check.ranges[i].first);
        covered += std::uint64_t{check.ranges[i].last} - check.ranges[i].first + 1;
    }
    KX_FUZZ_CHECK(covered == check.imageBytes);

    std::uint8_t packet[kPacketCapacity];
    std::uint16_t packetLen = 0;
    bool firstStage = true;
    bool lastWasSwitch = false;
    PacketBuilder builder(packet, packetLen, firstStage, lastWasSwitch);
    MemoryByteSource file(std::string_view(reinterpret_cast<const char*>(data), size));
    std::uint32_t packets[2] = {0, 0};
    std::uint64_t sent[2] = {0, 0};
    bool tooLong = false;
    bool secondStage = false;
    for (;;) {
        const BuildResult r = builder.Build(file);
        KX_FUZZ_CHECK(r.outcome != BuildOutcome::ReadError);
        if (r.outcome == BuildOutcome::RecordTooLong) {
            tooLong = true;
            break;
        }
        if (r.outcome == BuildOutcome::EndOfFile) {
            break;
        }
        ++packets[secondStage ? 1 : 0];
        sent[secondStage ? 1 : 0] += packetLen;
        secondStage = secondStage || r.switchAfter;
    }
    if (tooLong) {
        KX_FUZZ_CHECK(!check.Sendable());
    } else {
        // Every packet the builder made, the check counted, with the same bytes.
        KX_FUZZ_CHECK(packets[0] == check.firstStagePackets);
        KX_FUZZ_CHECK(packets[1] == check.secondStagePackets);
        KX_FUZZ_CHECK(sent[0] == check.firstStageBytes);
        KX_FUZZ_CHECK(sent[1] == check.secondStageBytes);
        KX_FUZZ_CHECK(file.Consumed() == size);
    }
    if (check.Sendable()) {
        KX_FUZZ_CHECK(!tooLong);
        KX_FUZZ_CHECK(packets[0] + packets[1] > 0);
    }
    return 0;
}
