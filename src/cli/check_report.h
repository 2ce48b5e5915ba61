// kxupgrade --check FILE.dat: every problem of a firmware file and what it holds, without
// a dongle and without loading the driver library.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "console_report.h"
#include "firmware_check.h"

namespace kx::cli {

// "FILE:LINE: problem", or "FILE: problem" for the file as a whole.
std::string FindingLine(const std::string& path, const CheckFinding& finding);

// Seconds the packets take on the wire: the first stage at 38400 baud with 10 bits a
// byte, the second in the bulk profile at 500000 baud with 11 bits a byte.
double LineRateSeconds(const ImageCheck& check);

// Every finding, one line each, then the summary of the image.
std::string CheckReport(const std::string& path, const ImageCheck& check,
                        std::span<const std::uint8_t> image);

// The first problem that keeps the file from being sent, as FindingLine gives it; nothing
// when the file can be sent or cannot be read at all (CheckReadable tells why).
std::optional<std::string> FirstRefusal(const std::string& path);

// Runs --check on `path`: the report to `out`, exit status 0 (can be sent), 5 (refused)
// or 2 (cannot be read, the reason to `errors`).
int RunCheck(const std::string& path, const ConsoleReport::Sink& out,
             const ConsoleReport::Sink& errors);

}  // namespace kx::cli
