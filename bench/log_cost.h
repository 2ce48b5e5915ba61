// The cost of one echoed byte as the log grows: a transfer held in its first stage by the
// instant device, the log filled with echoed text to each length, then echoed bytes timed
// through whole poll passes (read, interpret, refresh the log, show it).
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "dialog/upgrade_dlg.h"
#include "instant_dongle.h"

namespace kx::bench {

// Progress text as the dongle prints it: upper case, digits, spaces, CR LF.
inline std::string EchoText(std::size_t size) {
    static const std::string line =
        "PACKET 0123 WRITTEN AT 08001230 CHECKSUM 5A OK 0123456789 ABC\r\n";
    std::string text;
    while (text.size() < size) {
        text += line.substr(0, size - text.size());
    }
    return text;
}

// Echoes `bytes` in one pass; `settle` lets the front end catch up (paint). Seconds.
inline double TimedEcho(CUpgradeDlg& dlg, std::size_t bytes, const std::function<void()>& settle) {
    InstantSend(EchoText(bytes));
    const double start = WallSeconds();
    while (InstantPending() > 0) {
        dlg.OnPollDevice(0, 0);
    }
    settle();
    return WallSeconds() - start;
}

// Echoes text until the log of a held transfer holds `length` bytes; false when no
// transfer is held (nothing is echoed outside one).
inline bool FillLog(CUpgradeDlg& dlg, std::size_t length, const std::function<void()>& settle) {
    if (!dlg.Transferring()) {
        return false;
    }
    while (dlg.LogTextValue().size() < length) {
        TimedEcho(dlg, std::min<std::size_t>(64 * 1024, length - dlg.LogTextValue().size()),
                  settle);
    }
    return true;
}

// The cost of an echoed byte in nanoseconds once the log holds `length` bytes: the best
// of `samples` passes of `sampleBytes`, since on a shared machine other work only ever
// adds time. The log grows by samples x sampleBytes meanwhile.
inline double EchoNanosAt(CUpgradeDlg& dlg, std::size_t length, const std::function<void()>& settle,
                          int samples = 15, std::size_t sampleBytes = 256) {
    if (!FillLog(dlg, length, settle)) {
        return -1;
    }
    double best = 1e300;
    for (int i = 0; i < samples; ++i) {
        best = std::min(
            best, TimedEcho(dlg, sampleBytes, settle) * 1e9 / static_cast<double>(sampleBytes));
    }
    return best;
}

inline const std::vector<std::size_t>& LogLengths() {
    static const std::vector<std::size_t> lengths{1024, 100 * 1024, 1024 * 1024};
    return lengths;
}

inline void PrintLogCost(const char* frontEnd, const std::vector<double>& nanos) {
    std::printf("%-22s", frontEnd);
    for (std::size_t i = 0; i < nanos.size(); ++i) {
        std::printf("  %7zu KiB: %8.0f ns/byte", LogLengths()[i] / 1024, nanos[i]);
    }
    std::printf("   1 MiB / 1 KiB = %.2f\n", nanos.back() / nanos.front());
    std::fflush(stdout);
}

}  // namespace kx::bench
