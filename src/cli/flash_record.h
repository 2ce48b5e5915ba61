// The record of flashed dongles (kxupgrade --record FILE.csv): one CSV line per dongle and
// transfer, appended and flushed to the disk as each dongle finishes, never rewritten, so
// that a crash loses nothing already recorded. A new or empty file gets the header first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx::cli {

struct FlashRecord {
    std::string time;  // UTC, as in the JSON events
    std::string serial;
    std::string location;  // "0x101", empty when unknown
    std::string name;      // as the dongle announced itself
    std::string file;
    std::string sha256;      // of the bytes sent; empty when nothing was
    std::uint64_t size = 0;  // their count
    std::string result;      // "completed", "aborted" or "removed"
    std::string reason;
    double duration = 0;  // seconds
    int restarts = 0;
};

inline constexpr char kRecordHeader[] =
    "time,serial,location,name,file,sha256,size,result,reason,duration_s,restarts";

// A CSV field that is safe to open and to print: control bytes (line ends, ESC, BEL, ...)
// written as \xNN; a field a spreadsheet would take as a formula (it begins with =, +, -,
// @, TAB or CR) led by a single quote; quoted when it holds a comma or a quote (quotes
// doubled, RFC 4180).
std::string CsvField(std::string_view text);
std::string RecordLine(const FlashRecord& record);

// Appends the line (and the header first to an empty file). Nothing, or why it failed.
std::optional<std::string> AppendRecord(const std::string& path, const FlashRecord& record);
// Whether the file can be appended to, before any dongle is flashed: one that holds
// lines already must begin with this version's header.
std::optional<std::string> CheckRecordWritable(const std::string& path);

}  // namespace kx::cli
