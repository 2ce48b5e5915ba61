// The progress bar drawn on a terminal during a transfer: how far, how fast, how long.
#pragma once

#include <cstdint>
#include <string>

#include "host/progress_figures.h"

namespace kx::cli {

// "[#####-----]  50%  128.0/256.0 KiB  42.1 KiB/s  ETA 0:03" for `done` of `total` bytes
// after `seconds`. Rate and ETA read "--" until some bytes have gone.
std::string FormatProgressLine(std::uint64_t done, std::uint64_t total, double seconds);

// The same figures as the window's bar: see app/progress_figures.h.
using kx::FormatDuration;

}  // namespace kx::cli
