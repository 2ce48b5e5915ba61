// Checks a firmware image before anything of it is sent: bytes in, findings out. It frames
// records exactly as the packet builder does (a record starts at the next `S` or `Z`,
// takes the byte after it as its type and runs to the line end), so every record it passes
// is one the dongle will receive, and it runs the packet builder itself over the image to
// count the packets. `Z` records are the dongle's own and are not parsed. A file passes
// only whole: data records, a termination record, and nothing after it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kx {

struct CheckFinding {
    std::uint32_t line;  // 1-based; 0 for the file as a whole
    std::string problem;
};

struct AddressRange {
    std::uint32_t first;
    std::uint32_t last;  // inclusive
};

struct ImageCheck {
    std::vector<CheckFinding> findings;  // in line order; empty when the file can be sent

    // What the file holds, as far as it could be read.
    std::string header;                        // the data of the first `S0` record, as text
    std::array<std::uint32_t, 10> sRecords{};  // well-formed `S` records per type digit
    std::uint32_t zRecords = 0;
    std::vector<AddressRange> ranges;  // the addresses the data records cover, merged
    std::uint64_t imageBytes = 0;      // distinct addresses written
    // The termination record (`S7`, `S8` or `S9`) that ends the image; 0 when there is none.
    std::uint32_t terminationLine = 0;
    int terminationType = 0;
    // The packets each stage sends and their bytes on the wire.
    std::uint32_t firstStagePackets = 0, secondStagePackets = 0;
    std::uint64_t firstStageBytes = 0, secondStageBytes = 0;

    bool Sendable() const { return findings.empty(); }
};

ImageCheck CheckImage(std::span<const std::uint8_t> image);

// An image held in memory together with what CheckImage found in exactly these bytes: a
// harness that sends one image many times reads and checks it once.
class CheckedImage {
  public:
    explicit CheckedImage(std::vector<std::uint8_t> bytes)
        : m_bytes(std::move(bytes)), m_check(CheckImage(m_bytes)) {}

    std::span<const std::uint8_t> Bytes() const { return m_bytes; }
    const ImageCheck& Check() const { return m_check; }

  private:
    std::vector<std::uint8_t> m_bytes;
    ImageCheck m_check;
};

}  // namespace kx
