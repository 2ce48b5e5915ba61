#include "progress_line.h"

#include <cstdio>

namespace kx::cli {

namespace {

constexpr int kBarWidth = 24;

std::string Format(const char* format, double a, double b = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace

std::string FormatProgressLine(std::uint64_t done, std::uint64_t total, double seconds) {
    const ProgressFigures figures = FiguresOf(done, total, seconds);
    const int filled = static_cast<int>(figures.fraction * kBarWidth);
    std::string line = "[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(kBarWidth - filled), '-');
    line += "] ";
    line += Format("%3.0f%%", static_cast<double>(figures.percent));
    line += Format("  %.1f/%.1f KiB", static_cast<double>(done) / 1024.0,
                   static_cast<double>(total) / 1024.0);
    if (!figures.bytesPerSecond) {
        return line + "  -- KiB/s  ETA --";
    }
    line += Format("  %.1f KiB/s", *figures.bytesPerSecond / 1024.0);
    line += "  ETA ";
    line += figures.secondsLeft ? FormatDuration(*figures.secondsLeft) : std::string("--");
    return line;
}

}  // namespace kx::cli
