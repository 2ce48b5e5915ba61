// The events of one flasher's run as JSON lines (kxupgrade --json): connected, lost,
// announced, started, progress, restart, removed, completed, aborted. Every line carries
// the event, the dongle's serial number and location as read when it was opened, the
// time, the schema version and the tool's version. The field names are documented in
// docs/production.md and kept stable. The same follow-up gives every dongle's end, for
// the record: the one flashed, and one that was pulled out and replaced by another.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dialog/transfer_outcome.h"
#include "json_line.h"

namespace kx::cli {

// The version of the events' and the record's layout: raised when a field changes its
// meaning or goes (new fields do not raise it).
inline constexpr int kEventSchema = 1;
// The tool's version, as --json events give it.
std::string_view ToolVersion();

// "2026-12-08T06:05:47.123Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

struct DongleIdentity {
    std::string serial;                     // empty when unknown
    std::optional<std::uint32_t> location;  // none when unknown
};

// How one dongle's part of the run ended.
struct DongleEnd {
    DongleIdentity dongle;
    std::string name;        // as it announced itself; empty when not heard
    std::string sha256;      // of the bytes its transfer was sent from; empty before a transfer
    std::uint64_t size = 0;  // their count
    std::string result;      // "completed", "aborted" or "removed"
    std::string reason;      // empty when completed
    double duration = 0;     // seconds since the flasher began, or since the dongle came
    int restarts = 0;
    bool transferred = false;  // its transfer began
};

class DongleEvents {
  public:
    using Sink = std::function<void(std::string_view line)>;
    using Clock = std::chrono::steady_clock;

    // `out` takes each line, its line end included (none: no lines); `dongle` is the one
    // named on the command line, until one is opened; `file` as given.
    DongleEvents(Sink out, DongleIdentity dongle, std::string file);

    // What the window shows, as it changes; the transfer's state as the dialog reports it.
    // `sha256` (hex) and `size` are those of the bytes the transfer sends from.
    void ConnectionChanged(std::string_view text);
    void TransferChanged(TransferState state, std::string_view sha256, std::uint64_t size);
    void ProgressMoved(std::uint32_t position, Clock::time_point now);
    void Announced(std::string_view name);
    // The transfer started over from its first record (`count` times so far).
    void Restarted(int count);
    // The dongle opened after a loss is another one: the one that left ends "removed".
    void Replaced();
    // The run's end: completed for exit status 0, aborted with `reason` otherwise.
    void Finished(int status, std::string_view reason);

    // Asked at every open which dongle it is; none: the command line's.
    std::function<std::optional<DongleIdentity>()> identify;
    // Told each dongle's end (the record is written from it).
    std::function<void(const DongleEnd&)> ended;

    // Fields every line carries, for lines made elsewhere (the parent of --all).
    JsonObject Event(std::string_view name) const;
    void Emit(const JsonObject& event);
    const DongleIdentity& Dongle() const { return m_dongle; }

  private:
    void EmitProgress(Clock::time_point now);
    void EmitStarted();
    void End(std::string_view result, std::string_view reason, int status);

    Sink m_out;
    DongleIdentity m_dongle;
    std::string m_file;
    std::string m_sha256;
    std::string m_name;
    int m_restarts = 0;
    Clock::time_point m_begun = Clock::now();
    bool m_connected = false;
    bool m_transferring = false;
    bool m_startPending = false;  // a new dongle in a running transfer: "started" follows
    std::uint32_t m_total = 0;
    std::uint32_t m_position = 0;
    std::uint32_t m_reported = 0;  // the position the last progress line gave
    Clock::time_point m_started{};
    Clock::time_point m_lastProgress{};
};

}  // namespace kx::cli
