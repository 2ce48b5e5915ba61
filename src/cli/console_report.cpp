#include "console_report.h"

#include <cstdio>
#include <utility>

#include "progress_line.h"
#include "string_table.h"

namespace kx::cli {

namespace {

// The bar is redrawn at most this often; a terminal cannot show more anyway.
constexpr std::chrono::milliseconds kBarPeriod(100);
constexpr char kEraseLine[] = "\r\033[K";

}  // namespace

ConsoleReport::ConsoleReport(Sink out, Sink bar) : m_out(std::move(out)), m_bar(std::move(bar)) {}

void ConsoleReport::ConnectionChanged(std::string_view text) {
    if (!text.empty()) {
        Line("link: ", text);
    }
}

void ConsoleReport::TransferChanged(std::string_view text, TransferState state) {
    if (m_barActive && state != TransferState::InProgress) {
        StopBar();
    }
    if (!text.empty()) {
        Line("transfer: ", text);
    }
}

void ConsoleReport::LogReplaced(std::string_view bytes) {
    // A console cannot take back what it printed: the new text starts on a line of its own.
    EraseBar();
    CloseLogLine();
    LogAppended(bytes);
}

void ConsoleReport::LogAppended(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    EraseBar();
    m_pending.clear();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            continue;  // the log's lines end in CR LF
        }
        if (!m_logLineOpen) {
            m_pending += "log: ";
            m_logLineOpen = true;
        }
        if (byte == '\n') {
            m_pending.push_back('\n');
            m_logLineOpen = false;
        } else {
            AppendPrintable(m_pending, byte);
        }
    }
    if (!m_pending.empty()) {
        m_out(m_pending);
    }
    if (m_barActive) {
        DrawBar(Clock::now());
    }
}

void ConsoleReport::ProgressStarted(std::uint32_t total, Clock::time_point now) {
    m_total = total;
    m_position = 0;
    m_started = now;
    m_barActive = static_cast<bool>(m_bar);
    m_drawn = Clock::time_point{};
}

void ConsoleReport::ProgressMoved(std::uint32_t position, Clock::time_point now) {
    m_position = position;
    if (m_barActive && (now - m_drawn >= kBarPeriod || position >= m_total)) {
        DrawBar(now);
    }
}

void ConsoleReport::Finish() {
    StopBar();
    EraseBar();
    if (m_logLineOpen) {
        m_out("\n");
        m_logLineOpen = false;
    }
}

void ConsoleReport::Line(std::string_view label, std::string_view text) {
    EraseBar();
    CloseLogLine();
    std::string line(label);
    for (const char c : text) {
        AppendPrintable(line, static_cast<unsigned char>(c));
    }
    line.push_back('\n');
    m_out(line);
    if (m_barActive) {
        DrawBar(Clock::now());
    }
}

void ConsoleReport::CloseLogLine() {
    if (m_logLineOpen) {
        m_out("\n");
        m_logLineOpen = false;
    }
}

void ConsoleReport::EraseBar() {
    if (m_barShown) {
        m_bar(kEraseLine);
        m_barShown = false;
    }
}

void ConsoleReport::DrawBar(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - m_started).count();
    m_bar(kEraseLine + FormatProgressLine(m_position, m_total, seconds));
    m_barShown = true;
    m_drawn = now;
}

// The transfer has ended: the bar's last state stays on the screen.
void ConsoleReport::StopBar() {
    if (!m_barActive) {
        return;
    }
    DrawBar(Clock::now());
    m_bar("\n");
    m_barShown = false;
    m_barActive = false;
}

}  // namespace kx::cli
