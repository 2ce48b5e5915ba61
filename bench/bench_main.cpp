// kx_bench: figures for the upgrade logic on the simulated dongle and on an instant
// device. Prints figures and ratios; judges nothing.
//   kx_bench [--quick] [--kxupgrade PATH] [--window-bench PATH]
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "console_window.h"
#include "firmware_check.h"
#include "firmware_file.h"
#include "kxsim.h"
#include "log_cost.h"
#include "packet_builder.h"
#include "session.h"
#include "sha256.h"
#include "string_table.h"

namespace kx::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct Options {
    bool quick = false;  // smaller images, shorter idle: a smoke run, not figures to keep
    std::string only;    // one section: e2e, host, log, idle, memory
    std::string kxupgrade;
    std::string windowBench;
    std::string simDir;
};

double FrameBits(const kxsim_link& link) {
    return 1.0 + link.word_length + (link.parity != 0 ? 1.0 : 0.0) + link.stop_bits;
}

bool FlashHolds(const std::vector<std::uint8_t>& image) {
    std::vector<std::uint8_t> flash(kxsim_flash(nullptr, 0));
    kxsim_flash(flash.data(), flash.size());
    return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
}

// End to end at real line rate: the wall time of the transfer against the time the bytes
// need on the line, stage by stage, and against that time plus one reply latency for
// every packet that waits for a reply (the switch record and each bulk packet). The chip's
// timer starts at `chipLatencyMs`; `toolSetsTimer` false stands for a driver without
// FT_SetLatencyTimer (its entry points are taken out of the bound table).
void EndToEnd(const Firmware& fw, double chipLatencyMs, bool toolSetsTimer, double eraseMs) {
    kxsim_reset();
    kxsim_set_speed(1);
    kxsim_set_latency_ms(chipLatencyMs);
    kxsim_set_erase_ms(eraseMs);
    kxsim_set_flash(kFlashBase, 0x80000);
    HeadlessWindow window;
    Session session(window, fw.path, false);
    if (!toolSetsTimer) {
        for (void*& entry : g_driver.optional) {
            entry = nullptr;
        }
    }
    std::printf("chip timer %2.0f ms, %s:\n", chipLatencyMs,
                toolSetsTimer ? "the tool sets it (FT_SetLatencyTimer)"
                              : "driver without FT_SetLatencyTimer");
    if (!session.RunTransfer(seconds(300))) {
        std::printf("    did not end\n");
        return;
    }
    const double latencyMs = kxsim_latency_timer_ms();
    double commandSeconds = 0, bulkSeconds = 0;
    std::uint64_t commandBytes = 0, bulkBytes = 0;
    std::size_t bulkPackets = 0;
    for (std::size_t i = 0; i < kxsim_packet_count(); ++i) {
        kxsim_link link{};
        const std::size_t length = kxsim_packet(i, nullptr, 0, &link);
        const double onLine = static_cast<double>(length) * FrameBits(link) / link.baud;
        if (link.baud > 100000) {
            bulkSeconds += onLine;
            bulkBytes += length;
            ++bulkPackets;
        } else {
            commandSeconds += onLine;
            commandBytes += length;
        }
    }
    const double line = commandSeconds + bulkSeconds;
    const std::size_t waiting = bulkPackets + 1;
    const double latencyBound = line + static_cast<double>(waiting) * latencyMs / 1000.0;
    const double wall = session.TransferWall();
    const double erase = eraseMs / 1000.0;
    std::printf(
        "    latency in force %.0f ms: %s, wall %.2f s\n"
        "    line: first stage %llu B at %.0f B/s = %.3f s, second stage %llu B at %.0f B/s"
        " = %.2f s; limit %.2f s\n"
        "    line limit / wall = %.3f (counting the %.1f s erase as line time: %.3f)\n"
        "    latency-bound (limit + %zu x %.0f ms) = %.2f s; wall / bound = %.3f "
        "(erase counted: %.3f)\n"
        "    left per waiting packet after line, latency and erase: %.2f ms\n",
        latencyMs, session.Dialog().TransferText().c_str(), wall,
        static_cast<unsigned long long>(commandBytes),
        commandSeconds > 0 ? static_cast<double>(commandBytes) / commandSeconds : 0.0,
        commandSeconds, static_cast<unsigned long long>(bulkBytes),
        bulkSeconds > 0 ? static_cast<double>(bulkBytes) / bulkSeconds : 0.0, bulkSeconds, line,
        line / wall, erase, (line + erase) / wall, waiting, latencyMs, latencyBound,
        wall / latencyBound, wall / (latencyBound + erase),
        (wall - latencyBound - erase) * 1000.0 / static_cast<double>(waiting));
    std::printf("    flash holds the image: %s\n", FlashHolds(fw.image) ? "yes" : "NO");
    std::fflush(stdout);
}

// Host cost: MiB of firmware per second of transfer and CPU seconds per MiB.
void HostCost(const Firmware& fw, bool instant) {
    if (!instant) {
        kxsim_reset();
        kxsim_set_speed(0);
        kxsim_set_flash(kFlashBase, static_cast<unsigned long>(fw.image.size()));
    }
    AcceptanceTimedWindow window;
    Session session(window, fw.path, instant);
    const bool ended = session.RunTransfer(seconds(300));
    const double mib = static_cast<double>(fw.image.size()) / (1024.0 * 1024.0);
    std::printf("%-34s %5.1f MiB image: %s in %.3f s = %7.1f MiB/s, %.4f CPU s/MiB%s\n",
                instant ? "instant device (host logic alone)" : "simulated dongle, unlimited speed",
                mib, ended ? session.Dialog().TransferText().c_str() : "did not end",
                session.TransferWall(), mib / session.TransferWall(), session.TransferCpu() / mib,
                instant || FlashHolds(fw.image) ? "" : "  (flash differs!)");
    if (instant && window.acceptedCpu > 0) {
        // Where it goes: taking the file (its read, the check of every record, the digest)
        // and then the packets themselves.
        const double accepting = window.acceptedCpu - session.StartCpu();
        std::printf(
            "    of which accepting the file (read, check, digest) %.4f CPU s/MiB, "
            "the transfer after it %.4f CPU s/MiB\n",
            accepting / mib, (session.TransferCpu() - accepting) / mib);
    }
    std::fflush(stdout);
}

// The record reader and packet builder alone, over the file as the transfer reads it.
void BuilderCost(const Firmware& fw) {
    FirmwareFile file;
    if (!file.Open(fw.path)) {
        return;
    }
    std::uint8_t packet[kPacketCapacity];
    std::uint16_t packetLen = 0;
    bool firstStage = true;
    bool lastWasSwitch = false;
    PacketBuilder builder(packet, packetLen, firstStage, lastWasSwitch);
    const double start = WallSeconds();
    std::size_t packets = 0;
    while (builder.Build(file).outcome == BuildOutcome::Packet) {
        ++packets;
    }
    const double wall = WallSeconds() - start;
    const double mib = static_cast<double>(fw.image.size()) / (1024.0 * 1024.0);
    std::printf("%-34s %5.1f MiB image: %zu packets in %.3f s = %7.1f MiB/s\n",
                "packet builder alone", mib, packets, wall, mib / wall);
}

// The digest every transfer takes of the file it sends, through the portable rounds and
// through the processor's SHA instructions where it has them.
void ShaCost(const Firmware& fw) {
    std::ifstream in(fw.path, std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    const double mib = static_cast<double>(fw.image.size()) / (1024.0 * 1024.0);
    double portable = 0;
    for (const bool processor : {false, true}) {
        if (!Sha256::UseProcessorInstructions(processor) && processor) {
            std::printf("%-34s this processor has no SHA instructions\n", "SHA-256, processor");
            break;
        }
        const double cpu0 = CpuSeconds();
        const std::string digest = Sha256Hex(file);
        const double cpu = CpuSeconds() - cpu0;
        if (!processor) {
            portable = cpu;
        }
        std::printf(
            "%-34s %5.1f MiB image (%.1f MiB of file): %.4f CPU s/MiB of image%s\n",
            processor ? "SHA-256, processor instructions" : "SHA-256, portable rounds", mib,
            static_cast<double>(file.size()) / (1024.0 * 1024.0), cpu / mib,
            processor && cpu > 0
                ? (" (portable / processor = " + std::to_string(portable / cpu).substr(0, 5) + ")")
                      .c_str()
                : "");
        if (digest.size() != 64) {
            std::printf("    digest malformed\n");
        }
    }
    Sha256::UseProcessorInstructions(true);
}

// The check every file passes before it is sent: over a sound file, over a file that holds
// a second image written over the first (every record of the second half conflicts with one
// of the first, all in one run of addresses), and over the sound file with its lines ended
// by LF alone (no CR anywhere for a line-end search to stop at).
void CheckCost(const Firmware& fw) {
    const std::string text = test::FirmwareFile(fw.image, kFlashBase, kDeviceId, 32);
    std::vector<std::uint8_t> other = fw.image;
    for (std::uint8_t& b : other) {
        b = static_cast<std::uint8_t>(b ^ 0x5A);
    }
    const std::string twice = text + test::FirmwareFile(other, kFlashBase, kDeviceId, 32);
    std::string lf;
    std::copy_if(text.begin(), text.end(), std::back_inserter(lf),
                 [](char c) { return c != '\r'; });
    const double mib = static_cast<double>(fw.image.size()) / (1024.0 * 1024.0);
    double sound = 0;
    for (const auto& [what, file] : {std::pair<const char*, const std::string*>{"sound", &text},
                                     {"written twice over", &twice},
                                     {"LF line ends", &lf}}) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(file->data());
        const double start = WallSeconds();
        const ImageCheck check = CheckImage(std::span<const std::uint8_t>(bytes, file->size()));
        const double wall = WallSeconds() - start;
        const double rate = static_cast<double>(file->size()) / (1024.0 * 1024.0) / wall;
        if (sound == 0) {
            sound = rate;
        }
        std::printf(
            "%-34s %5.1f MiB image, %s: %zu findings in %.3f s = %7.1f MiB/s of file "
            "(%.2f of the sound file's rate)\n",
            "firmware check", mib, what, check.findings.size(), wall, rate, rate / sound);
    }
}

// Cheap enough to start afresh for every sample: each one sees the log at its length.
std::vector<double> HeadlessLogCost(bool console) {
    constexpr int kSamples = 9;
    constexpr std::size_t kSampleBytes = 2048;
    std::vector<double> nanos;
    const std::string folder = TempFolder();
    const Firmware fw = MakeFirmware(1024, folder);
    for (const std::size_t length : LogLengths()) {
        double best = -1;
        for (int i = 0; i < kSamples; ++i) {
            cli::ConsoleReport report([](std::string_view) {});
            cli::ConsoleWindow consoleWindow(report);
            HeadlessWindow plainWindow;
            HeadlessWindow& window = console ? consoleWindow : plainWindow;
            Session session(window, fw.path, true);
            InstantHold(true);
            if (!session.WaitForStart(seconds(10)) || !FillLog(session.Dialog(), length, [] {})) {
                break;
            }
            const double ns = TimedEcho(session.Dialog(), kSampleBytes, [] {}) * 1e9 /
                              static_cast<double>(kSampleBytes);
            best = best < 0 ? ns : std::min(best, ns);
        }
        nanos.push_back(best);
    }
    std::filesystem::remove_all(folder);
    return nanos;
}

// The least a 1 kHz poll costs here: a thread that posts to the headless window and
// sleeps 1 ms, the window's loop waking for each post with no dialog to run.
double WakeFloorShare(int idleSeconds) {
    HeadlessWindow window;
    std::atomic<bool> run{true};
    const double wall0 = WallSeconds();
    const double cpu0 = CpuSeconds();
    std::thread poster([&] {
        while (run.load()) {
            window.PostToWindow(WindowMessage::PollDevice);
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    window.PumpFor(std::chrono::seconds(idleSeconds));
    run = false;
    poster.join();
    return (CpuSeconds() - cpu0) / (WallSeconds() - wall0);
}

void Idle(const Options& options, int idleSeconds) {
    // The dongle announces once, as it powers up with the library's load, long before the
    // tool opens it: it is never heard.
    const std::map<std::string, std::string> silent{{"LD_LIBRARY_PATH", options.simDir},
                                                    {"KXSIM_ANNOUNCE_DELAY_MS", "0"},
                                                    {"KXSIM_ANNOUNCE_REPEAT_MS", "0"}};
    const auto show = [idleSeconds](const char* what, const ChildUsage& u) {
        std::printf("%-24s %d s: CPU %.3f s = %.2f %% of one core (exit %d)\n", what, idleSeconds,
                    u.cpuSeconds, 100.0 * u.cpuSeconds / u.wallSeconds, u.status);
        std::fflush(stdout);
    };
    const std::string wait = std::to_string(idleSeconds);
    std::printf("%-24s %d s: %.2f %% of one core (a thread posting every 1 ms, nothing run)\n",
                "floor, headless loop", idleSeconds, 100.0 * WakeFloorShare(idleSeconds));
    if (!options.kxupgrade.empty()) {
        // The dongle is connected but never announces itself: kxupgrade polls, then gives up.
        const std::string folder = TempFolder();
        const Firmware fw = MakeFirmware(1024, folder);
        show("kxupgrade, connected",
             RunChild({options.kxupgrade, "--wait", wait, fw.path}, silent));
        std::filesystem::remove_all(folder);
    }
    if (!options.windowBench.empty()) {
        show("floor, Qt event loop",
             RunChild({options.windowBench, "--floor", wait}, {{"QT_QPA_PLATFORM", "offscreen"}}));
        show("window, connected", RunChild({options.windowBench, "--idle", wait}, [&] {
                 auto env = silent;
                 env["QT_QPA_PLATFORM"] = "offscreen";
                 return env;
             }()));
    }
}

void PeakMemory(const Options& options, const Firmware& fw) {
    const std::map<std::string, std::string> env{{"LD_LIBRARY_PATH", options.simDir},
                                                 {"KXSIM_SPEED", "0"},
                                                 {"KXSIM_FLASH_SIZE", "0x80000"},
                                                 {"QT_QPA_PLATFORM", "offscreen"}};
    const auto show = [&fw](const char* what, const ChildUsage& u) {
        std::printf("%-24s %zu KiB image: peak RSS %.1f MiB (exit %d)\n", what,
                    fw.image.size() / 1024, static_cast<double>(u.peakRssKiB) / 1024.0, u.status);
        std::fflush(stdout);
    };
    if (!options.kxupgrade.empty()) {
        show("kxupgrade", RunChild({options.kxupgrade, fw.path}, env));
    }
    if (!options.windowBench.empty()) {
        show("window", RunChild({options.windowBench, "--upgrade", fw.path}, env));
    }
}

void LogCostSection(const Options& options, const std::string& folder);

int Main(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else if (arg == "--kxupgrade" && i + 1 < argc) {
            options.kxupgrade = argv[++i];
        } else if (arg == "--window-bench" && i + 1 < argc) {
            options.windowBench = argv[++i];
        } else if (arg == "--sim-dir" && i + 1 < argc) {
            options.simDir = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--quick] [--only SECTION] [--kxupgrade PATH] [--window-bench PATH] "
                "[--sim-dir DIR]\n",
                argv[0]);
            return 2;
        }
    }
    const auto wanted = [&options](const char* section) {
        return options.only.empty() || options.only == section;
    };
    const std::string folder = TempFolder();
    const std::size_t e2eSize = options.quick ? 16 * 1024 : 256 * 1024;
    const Firmware e2e = MakeFirmware(e2eSize, folder);

    if (wanted("e2e")) {
        Heading("End to end at line rate (speed factor 1)");
        std::printf("image %zu KiB in 32-byte S3 records: file %llu bytes\n", e2eSize / 1024,
                    static_cast<unsigned long long>(e2e.fileBytes));
        EndToEnd(e2e, 16.0, false, 600.0);  // what a user had before the tool set the timer
        EndToEnd(e2e, 16.0, true, 600.0);   // the default a user has now
        EndToEnd(e2e, 1.0, false, 600.0);   // the lowest timer, for comparison
    }
    if (wanted("host")) {
        Heading("Host cost");
        HostCost(MakeFirmware(options.quick ? 256 * 1024 : 4 * 1024 * 1024, folder), false);
        const Firmware big = MakeFirmware(options.quick ? 1024 * 1024 : 16 * 1024 * 1024, folder);
        HostCost(big, true);
        BuilderCost(big);
        ShaCost(big);
    }
    if (wanted("check")) {
        Heading("Firmware check before sending");
        CheckCost(MakeFirmware(options.quick ? 1024 * 1024 : 16 * 1024 * 1024, folder));
    }
    if (wanted("log")) {
        LogCostSection(options, folder);
    }
    if (wanted("idle")) {
        Heading("Idle cost: connected, nothing to do");
        Idle(options, options.quick ? 2 : 10);
    }
    if (wanted("memory")) {
        Heading("Peak memory during an upgrade (unlimited speed)");
        PeakMemory(options, e2e);
    }
    std::filesystem::remove_all(folder);
    return 0;
}

void LogCostSection(const Options& options, const std::string& folder) {
    Heading("Log cost: one echoed byte through a whole poll pass, by log length");
    PrintLogCost("headless window", HeadlessLogCost(false));
    PrintLogCost("kxupgrade console", HeadlessLogCost(true));
    if (!options.windowBench.empty()) {
        const ChildUsage u =
            RunChild({options.windowBench, "--log-cost", folder + "/window-log-cost.txt"},
                     {{"LD_LIBRARY_PATH", options.simDir}, {"QT_QPA_PLATFORM", "offscreen"}});
        std::ifstream in(folder + "/window-log-cost.txt");
        std::string line;
        while (std::getline(in, line)) {
            std::printf("%s\n", line.c_str());
        }
        if (u.status != 0) {
            std::printf("window log cost: exit %d\n", u.status);
        }
    }
}

}  // namespace
}  // namespace kx::bench

int main(int argc, char* argv[]) {
    return kx::bench::Main(argc, argv);
}
