// What the flasher needs of its console and process that differs by platform: the
// command line as UTF-8, the stop request (SIGINT, SIGTERM and SIGHUP, or the console's Ctrl+C,
// Ctrl+Break and close events), and whether the error stream takes escape sequences.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace kx::cli {

// How the user gets a driver library the flasher can load, and how it is stopped, in the
// platform's own terms.
#ifdef _WIN32
inline constexpr char kDriverAdvice[] =
    "install FTDI's D2XX driver with its installer, or put Ftd2xx.dll beside kxupgrade.exe";
inline constexpr char kStopRequests[] = "Ctrl+C, Ctrl+Break, the console closed";
#else
inline constexpr char kDriverAdvice[] =
    "install the D2XX driver or put its folder on LD_LIBRARY_PATH";
inline constexpr char kStopRequests[] = "SIGINT, SIGTERM, SIGHUP";
#endif

// The arguments after the program's name, UTF-8 encoded. On Windows they are taken from
// the wide command line, whatever the console's code page.
std::vector<std::string> CommandLineArguments(int argc, char* argv[]);

// Sets `stop` when the user asks the program to end. `finished` is set by the caller once
// the device is closed; on a console close Windows ends the process when the handler
// returns, so the handler waits for it (a few seconds at most).
void InstallStopHandler(std::atomic<bool>* stop, std::atomic<bool>* finished);

// Whether `stream` is a terminal that shows the progress line's escape sequences; on
// Windows the console's VT mode is switched on for it, and text is written as UTF-8.
bool TerminalWithEscapes(std::FILE* stream);

}  // namespace kx::cli
