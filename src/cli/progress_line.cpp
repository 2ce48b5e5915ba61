#include "progress_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kx::cli {

namespace {

constexpr int kBarWidth = 24;
// Longer than any real transfer: the rate is then too low to promise anything.
constexpr double kLongestEta = 100 * 3600.0;

std::string Format(const char* format, double a, double b = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace

std::string FormatDuration(double seconds) {
    const auto total = static_cast<long long>(std::llround(std::max(seconds, 0.0)));
    const long long hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
    char text[32];
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, secs);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, secs);
    }
    return text;
}

std::string FormatProgressLine(std::uint64_t done, std::uint64_t total, double seconds) {
    const double fraction =
        total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string line = "[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - filled), '-');
    line += "] ";
    line += Format("%3.0f%%", std::floor(fraction * 100.0));
    line += Format("  %.1f/%.1f KiB", static_cast<double>(done) / 1024.0,
                   static_cast<double>(total) / 1024.0);

    const double rate = seconds > 0 && done > 0 ? static_cast<double>(done) / seconds : 0.0;
    if (rate <= 0) {
        return line + "  -- KiB/s  ETA --";
    }
    line += Format("  %.1f KiB/s", rate / 1024.0);
    const double left = done >= total ? 0.0 : static_cast<double>(total - done) / rate;
    line += "  ETA ";
    line += left > kLongestEta ? std::string("--") : FormatDuration(left);
    return line;
}

}  // namespace kx::cli
