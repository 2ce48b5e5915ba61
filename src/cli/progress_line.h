// The progress bar drawn on a terminal during a transfer: how far, how fast, how long.
#pragma once

#include <cstdint>
#include <string>

namespace kx::cli {

// "[#####-----]  50%  128.0/256.0 KiB  42.1 KiB/s  ETA 0:03" for `done` of `total` bytes
// after `seconds`. Rate and ETA read "--" until some bytes have gone.
std::string FormatProgressLine(std::uint64_t done, std::uint64_t total, double seconds);

// "0:07", "12:34", "1:02:03"
std::string FormatDuration(double seconds);

}  // namespace kx::cli
