// The events of one dongle's run as JSON lines (kxupgrade --json): connected, lost,
// announced, started, progress, restart, completed, aborted. Every line carries the event,
// the dongle's serial number and location, and the time. The field names are documented
// in docs/production.md and kept stable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "json_line.h"

namespace kx::cli {

// "2026-12-08T06:05:47.123Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

struct DongleIdentity {
    std::string serial;                     // empty when unknown
    std::optional<std::uint32_t> location;  // none when unknown
};

class DongleEvents {
  public:
    using Sink = std::function<void(std::string_view line)>;
    using Clock = std::chrono::steady_clock;

    // `out` takes each line, its line end included; `file` and `sha256` describe the
    // firmware for the started event.
    DongleEvents(Sink out, DongleIdentity dongle, std::string file, std::string sha256);

    // What the window shows, as it changes.
    void ConnectionChanged(std::string_view text);
    void TransferChanged(std::string_view text, std::uint32_t total);
    void ProgressMoved(std::uint32_t position, Clock::time_point now);
    void Announced(std::string_view name);
    // The transfer started over from its first record (`count` times so far).
    void Restarted(int count);
    // The run's end: completed for exit status 0, aborted with `reason` otherwise.
    void Finished(int status, std::string_view reason);

    // Asked once, when the dongle is first connected, which dongle it is.
    std::function<DongleIdentity()> identify;

    // Fields every line carries, for lines made elsewhere (the parent of --all).
    JsonObject Event(std::string_view name) const;
    void Emit(const JsonObject& event);

  private:
    void EmitProgress(Clock::time_point now);

    Sink m_out;
    DongleIdentity m_dongle;
    std::string m_file;
    std::string m_sha256;
    Clock::time_point m_begun = Clock::now();
    bool m_connected = false;
    bool m_transferring = false;
    std::uint32_t m_total = 0;
    std::uint32_t m_position = 0;
    std::uint32_t m_reported = 0;  // the position the last progress line gave
    Clock::time_point m_started{};
    Clock::time_point m_lastProgress{};
};

}  // namespace kx::cli
