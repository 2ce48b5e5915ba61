#include "check_report.h"

#include <cstdio>

#include "device/link_profile.h"
#include "exit_codes.h"
#include "firmware_file.h"
#include "flasher.h"
#include "sha256.h"

namespace kx::cli {

namespace {

constexpr double kBulkBaudRate = 3000000.0 / kBulkDivisor;
constexpr double kCommandBitsPerByte = 10.0;  // start, 8 data, 1 stop
constexpr double kBulkBitsPerByte = 11.0;     // start, 8 data, 2 stop

std::string Plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

std::string FindingLine(const std::string& path, const CheckFinding& finding) {
    std::string line = path;
    if (finding.line > 0) {
        line += ":" + std::to_string(finding.line);
    }
    return line + ": " + finding.problem;
}

double LineRateSeconds(const ImageCheck& check) {
    return static_cast<double>(check.firstStageBytes) * kCommandBitsPerByte / kCommandBaudRate +
           static_cast<double>(check.secondStageBytes) * kBulkBitsPerByte / kBulkBaudRate;
}

std::string CheckReport(const std::string& path, const ImageCheck& check,
                        std::span<const std::uint8_t> image) {
    std::string text;
    for (const CheckFinding& finding : check.findings) {
        text += FindingLine(path, finding) + "\n";
    }
    text += path + ": " +
            (check.Sendable()
                 ? std::string("can be sent")
                 : Plural(check.findings.size(), "problem", "problems") + ": cannot be sent") +
            "\n";
    text += "  header:   \"" + check.header + "\"\n";
    std::string records;
    for (std::size_t type = 0; type < check.sRecords.size(); ++type) {
        if (check.sRecords[type] > 0) {
            records += (records.empty() ? "S" : ", S") + std::to_string(type) + " " +
                       std::to_string(check.sRecords[type]);
        }
    }
    if (check.zRecords > 0) {
        records += (records.empty() ? "Z " : ", Z ") + std::to_string(check.zRecords);
    }
    text += "  records:  " + (records.empty() ? std::string("none") : records) + "\n";
    if (check.ranges.empty()) {
        text += "  data:     none\n";
    }
    for (std::size_t i = 0; i < check.ranges.size(); ++i) {
        const AddressRange& r = check.ranges[i];
        text += (i == 0 ? "  data:     " : "            ") + Hex(r.first) + "-" + Hex(r.last) +
                " (" + Plural(std::uint64_t{r.last} - r.first + 1, "byte", "bytes") + ")\n";
    }
    text += "  image:    " + Plural(check.imageBytes, "byte", "bytes") + "\n";
    text += "  end:      " +
            (check.terminationLine > 0 ? "S" + std::to_string(check.terminationType) + " on line " +
                                             std::to_string(check.terminationLine)
                                       : std::string("no termination record")) +
            "\n";
    text += "  packets:  " + std::to_string(check.firstStagePackets) + " in the first stage (" +
            Plural(check.firstStageBytes, "byte", "bytes") + "), " +
            std::to_string(check.secondStagePackets) + " in the second (" +
            Plural(check.secondStageBytes, "byte", "bytes") + ")\n";
    char seconds[96];
    std::snprintf(seconds, sizeof seconds,
                  "  time:     %.2f s at line rate (38400 baud, then 500000 baud)\n",
                  LineRateSeconds(check));
    text += seconds;
    text += "  sha256:   " + Sha256Hex(image) + "\n";
    return text;
}

std::optional<std::string> FirstRefusal(const std::string& path) {
    FirmwareFile file;
    if (!file.Open(path)) {
        return std::nullopt;
    }
    const ImageCheck check = CheckImage(file.Image());
    if (check.Sendable()) {
        return std::nullopt;
    }
    return FindingLine(path, check.findings.front());
}

int RunCheck(const std::string& path, const ConsoleReport::Sink& out,
             const ConsoleReport::Sink& errors) {
    if (const auto problem = CheckReadable(path)) {
        errors("kxupgrade: " + path + ": " + *problem + "\n");
        return kExitUsage;
    }
    FirmwareFile file;
    if (!file.Open(path)) {
        errors("kxupgrade: " + path + ": " + file.Problem() + "\n");
        return kExitUsage;
    }
    const ImageCheck check = CheckImage(file.Image());
    out(CheckReport(path, check, file.Image()));
    return check.Sendable() ? kExitCompleted : kExitRefused;
}

}  // namespace kx::cli
