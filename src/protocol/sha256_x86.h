// SHA-256 blocks by the processor's own SHA instructions (x86 SHA extensions), where the
// processor has them: about twenty times fewer instructions than the portable rounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kx {

// Whether this build has the path and this processor the instructions.
bool Sha256ProcessorBlocksAvailable();
// Runs `count` 64-byte blocks from `data` into `state`. Only where available.
void Sha256ProcessorBlocks(std::array<std::uint32_t, 8>& state, const std::uint8_t* data,
                           std::size_t count);

}  // namespace kx
