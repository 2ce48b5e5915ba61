// Clocks, firmware files and child processes for the benchmarks. Figures are printed,
// never judged: a run's numbers are compared as ratios within that run.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "srecord_writer.h"

namespace kx::bench {

inline constexpr std::uint32_t kFlashBase = 0x08000000;
inline constexpr char kDeviceId[] = "KX-DONGLE-2";

inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// CPU time of every thread of this process.
inline double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Firmware {
    std::vector<std::uint8_t> image;
    std::string path;
    std::uint64_t fileBytes = 0;
};

// A generated image of `size` bytes in S3 records of 32 bytes, as the dongle's tools lay
// it out, written into `folder`.
inline Firmware MakeFirmware(std::size_t size, const std::string& folder) {
    Firmware fw;
    fw.image = test::TestImage(size, 11);
    const std::string text = test::FirmwareFile(fw.image, kFlashBase, kDeviceId, 32);
    fw.path = folder + "/firmware-" + std::to_string(size) + ".dat";
    std::ofstream(fw.path, std::ios::binary) << text;
    fw.fileBytes = text.size();
    return fw;
}

inline std::string TempFolder() {
    char pattern[] = "/tmp/kx-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made != nullptr ? made : "/tmp";
}

struct ChildUsage {
    int status = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakRssKiB = 0;  // the child's own high-water mark (VmHWM), read while it runs
};

// VmHWM of a running process, 0 when it cannot be read.
inline long PeakRssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// Runs argv with extra environment variables, its output discarded, and reports its own
// resource use (not that of other children). The peak memory is read from the child
// itself: the kernel's maximum RSS of a forked child includes the parent's pages it held
// until exec.
inline ChildUsage RunChild(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env) {
    ChildUsage usage;
    std::fflush(stdout);  // or the child would print what this process had buffered
    const double start = WallSeconds();
    // Closed by a successful exec: until then the child still holds this process's pages.
    int execed[2];
    if (::pipe2(execed, O_CLOEXEC) != 0) {
        return usage;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(execed[0]);
        for (const auto& [key, value] : env) {
            ::setenv(key.c_str(), value.c_str(), 1);
        }
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(execed[1]);
    char ignored = 0;
    while (::read(execed[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    ::close(execed[0]);
    int status = 0;
    rusage ru{};
    while (::wait4(pid, &status, WNOHANG, &ru) == 0) {
        usage.peakRssKiB = std::max(usage.peakRssKiB, PeakRssKiB(pid));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    usage.wallSeconds = WallSeconds() - start;
    usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usage.cpuSeconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    return usage;
}

inline void Heading(const char* title) {
    std::printf("\n== %s\n", title);
    std::fflush(stdout);
}

}  // namespace kx::bench
