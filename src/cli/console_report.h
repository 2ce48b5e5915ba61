// What the window would show, written as console text: the link and transfer lines on
// their own lines when they change, the log as it grows, and a progress bar on a
// terminal that is redrawn in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "dialog/transfer_outcome.h"
#include "host/printable_text.h"

namespace kx::cli {

class ConsoleReport {
  public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(std::string_view)>;

    // `out` takes the lines; `bar`, when given, takes the progress bar (a terminal).
    explicit ConsoleReport(Sink out, Sink bar = {});

    void ConnectionChanged(std::string_view text);
    // The transfer line shows `text`; `state` is where the transfer stands.
    void TransferChanged(std::string_view text, TransferState state);
    // The log grew by `bytes`, or was replaced by them.
    void LogAppended(std::string_view bytes);
    void LogReplaced(std::string_view bytes);

    // A transfer of `total` bytes starts; the bar shows from now on.
    void ProgressStarted(std::uint32_t total, Clock::time_point now);
    void ProgressMoved(std::uint32_t position, Clock::time_point now);

    // Ends an open log line and takes the bar off the screen.
    void Finish();

  private:
    void Line(std::string_view label, std::string_view text);
    void CloseLogLine();
    void EraseBar();
    void DrawBar(Clock::time_point now);
    void StopBar();

    Sink m_out;
    Sink m_bar;
    bool m_logLineOpen = false;
    std::string m_pending;  // log text built up by one call, written at its end

    bool m_barActive = false;
    bool m_barShown = false;
    std::uint32_t m_total = 0;
    std::uint32_t m_position = 0;
    Clock::time_point m_started{};
    Clock::time_point m_drawn{};
};

// A byte of the device's text as a terminal may safely show it.
using kx::AppendPrintable;
// The device's text as a terminal may safely show it.
inline std::string Printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        AppendPrintable(shown, static_cast<unsigned char>(c));
    }
    return shown;
}

}  // namespace kx::cli
