#include "link.h"

#include <array>
#include <bit>

#include "d2xx_api.h"

namespace kxsim {
namespace {

int ParityBit(unsigned data, int parity) {
    const bool oddOnes = (std::popcount(data) % 2) != 0;
    switch (parity) {
        case FT_PARITY_ODD:
            return oddOnes ? 0 : 1;
        case FT_PARITY_EVEN:
            return oddOnes ? 1 : 0;
        case FT_PARITY_MARK:
            return 1;
        default:
            return 0;
    }
}

unsigned DataMask(int wordLength) {
    return (1u << wordLength) - 1u;
}

// Line levels of one frame as the sender drives it, one entry per bit time.
struct Frame {
    std::array<int, 16> levels{};
    int count = 0;

    void Add(int level) { levels[static_cast<std::size_t>(count++)] = level; }
    int At(int index) const { return index < count ? levels[static_cast<std::size_t>(index)] : 1; }
};

Frame BuildFrame(std::uint8_t byte, const LinkSettings& tx) {
    const unsigned data = byte & DataMask(tx.wordLength);
    Frame frame;
    frame.Add(0);
    for (int bit = 0; bit < tx.wordLength; ++bit) {
        frame.Add(static_cast<int>((data >> bit) & 1u));
    }
    if (tx.parity != FT_PARITY_NONE) {
        frame.Add(ParityBit(data, tx.parity));
    }
    for (int stop = 0; stop < tx.stopBits; ++stop) {
        frame.Add(1);
    }
    return frame;
}

}  // namespace

LinkSettings CommandLink() {
    return LinkSettings{38400.0, 8, 1, FT_PARITY_NONE};
}

LinkSettings BulkLink() {
    return LinkSettings{3000000.0 / 6.0, 8, 2, FT_PARITY_NONE};
}

int FrameBits(const LinkSettings& link) {
    return 1 + link.wordLength + (link.parity != FT_PARITY_NONE ? 1 : 0) + link.stopBits;
}

double FrameSeconds(const LinkSettings& link) {
    return FrameBits(link) / link.baud;
}

std::uint8_t Receive(std::uint8_t byte, const LinkSettings& tx, const LinkSettings& rx) {
    if (tx == rx) {
        // Sampled where it was sent: the data bits as they were (what the sampling below
        // gives, without building and sampling the frame for every byte of a transfer).
        return static_cast<std::uint8_t>(byte & DataMask(rx.wordLength));
    }
    const Frame frame = BuildFrame(byte, tx);
    const double ratio = tx.baud / rx.baud;  // sender bit times per receiver bit time
    auto sample = [&](int slot) { return frame.At(static_cast<int>((slot + 0.5) * ratio)); };

    if (sample(0) != 0) {
        return kLineErrorByte;
    }
    unsigned data = 0;
    for (int bit = 0; bit < rx.wordLength; ++bit) {
        data |= static_cast<unsigned>(sample(1 + bit)) << bit;
    }
    int slot = 1 + rx.wordLength;
    if (rx.parity != FT_PARITY_NONE) {
        if (sample(slot) != ParityBit(data, rx.parity)) {
            return kLineErrorByte;
        }
        ++slot;
    }
    if (sample(slot) != 1) {
        return kLineErrorByte;
    }
    return static_cast<std::uint8_t>(data);
}

}  // namespace kxsim
