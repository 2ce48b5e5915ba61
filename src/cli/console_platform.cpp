#include "console_platform.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <io.h>
#include <shellapi.h>
#else
#include <unistd.h>

#include <csignal>
#endif

#include <chrono>
#include <thread>

namespace kx::cli {
namespace {

std::atomic<bool>* g_stopRequest = nullptr;
std::atomic<bool>* g_finished = nullptr;

#ifdef _WIN32

std::string Narrow(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            g_stopRequest->store(true);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            // The process ends when this returns: let the main thread close the device first.
            g_stopRequest->store(true);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
            while (!g_finished->load() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return TRUE;
        }
        default:
            return FALSE;
    }
}

#else

extern "C" void OnStopSignal(int) {
    g_stopRequest->store(true);
}

#endif

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char* argv[]) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide != nullptr && i < count; ++i) {
        args.push_back(Narrow(wide[i]));
    }
    LocalFree(wide);
    return args;
#else
    return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

void InstallStopHandler(std::atomic<bool>* stop, std::atomic<bool>* finished) {
    g_stopRequest = stop;
    g_finished = finished;
#ifdef _WIN32
    // Ctrl+C may have been turned off by whoever started us (a new process group starts
    // so, and the setting is inherited): the user's Ctrl+C must still close the dongle.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    // A hang-up (the terminal closed, the SSH session dropped) ends a run as Ctrl+C does:
    // every dongle is closed and every record written.
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGHUP, OnStopSignal);
    // Whoever reads the output may go away first; the flasher goes on, and its writes to
    // the gone reader fail quietly.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool TerminalWithEscapes(std::FILE* stream) {
#ifdef _WIN32
    if (!_isatty(_fileno(stream))) {
        return false;
    }
    SetConsoleOutputCP(CP_UTF8);
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) {
        return false;
    }
    // Without VT processing (older consoles) the progress line is left out.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

}  // namespace kx::cli
