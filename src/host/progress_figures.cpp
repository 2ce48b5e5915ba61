#include "progress_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kx {

namespace {

// Longer than any real transfer: the rate is then too low to promise anything.
constexpr double kLongestEta = 100 * 3600.0;

}  // namespace

ProgressFigures FiguresOf(std::uint64_t done, std::uint64_t total, double seconds) {
    ProgressFigures figures;
    figures.done = done;
    figures.total = total;
    figures.fraction =
        total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    figures.percent = static_cast<int>(std::floor(figures.fraction * 100.0));
    if (seconds > 0 && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        figures.bytesPerSecond = rate;
        const double left = done >= total ? 0.0 : static_cast<double>(total - done) / rate;
        if (left <= kLongestEta) {
            figures.secondsLeft = left;
        }
    }
    return figures;
}

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

std::string FormatRateSummary(const ProgressFigures& figures) {
    char text[64];
    std::snprintf(text, sizeof text, "%d%%  ", figures.percent);
    std::string summary = text;
    if (figures.bytesPerSecond) {
        std::snprintf(text, sizeof text, "%.1f KiB/s", *figures.bytesPerSecond / 1024.0);
        summary += text;
    } else {
        summary += "-- KiB/s";
    }
    summary += "  ";
    summary += figures.secondsLeft ? FormatDuration(*figures.secondsLeft) : std::string("--");
    summary += " left";
    return summary;
}

}  // namespace kx
