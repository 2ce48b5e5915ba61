// How far, how fast and how long: the figures of a running transfer, shared by the
// window's progress bar and kxupgrade's terminal bar so that both show the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kx {

struct ProgressFigures {
    double fraction = 0;  // 0 to 1, never past 1
    int percent = 0;      // rounded down: 99.9 % is not a full bar
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    // Unknown until some bytes have gone and some time has passed.
    std::optional<double> bytesPerSecond;
    // Unknown while the rate is, and when it would promise more than any real transfer.
    std::optional<double> secondsLeft;
};

// The figures for `done` of `total` bytes after `seconds`.
ProgressFigures FiguresOf(std::uint64_t done, std::uint64_t total, double seconds);

// "0:07", "12:34", "1:02:03"
std::string FormatDuration(double seconds);

// "50%  32.0 KiB/s  0:04 left"; "--" for a rate or a time not known yet.
std::string FormatRateSummary(const ProgressFigures& figures);

}  // namespace kx
