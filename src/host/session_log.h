// The session log: every text the window shows, with the time it showed, in a file of
// its own per session, for whoever has to report a problem. The newest sessions are kept.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t kSessionsKept = 20;

// Where the session logs go: $XDG_STATE_HOME/kxupgrade (~/.local/state/kxupgrade when
// unset) or %LOCALAPPDATA%\kxupgrade on Windows. Empty when none of these is known.
std::string SessionLogFolder();

class SessionLog {
  public:
    using Clock = std::chrono::system_clock;

    SessionLog() = default;
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // Starts a new file in `folder` (created if missing) and removes all but the newest
    // `kept` session files there. False when no file could be made: the session then goes
    // unrecorded, and nothing else changes.
    bool Open(const std::string& folder, Clock::time_point now = Clock::now(),
              std::size_t kept = kSessionsKept);
    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }

    // What the window showed. The log's text is written a line at a time; a line still
    // open when another text comes is written as far as it goes.
    void Connection(std::string_view text, Clock::time_point now = Clock::now());
    void Transfer(std::string_view text, Clock::time_point now = Clock::now());
    void LogReplaced(std::string_view bytes, Clock::time_point now = Clock::now());
    void LogAppended(std::string_view bytes, Clock::time_point now = Clock::now());
    // Anything else worth knowing: a question asked, a file dropped.
    void Note(std::string_view text, Clock::time_point now = Clock::now());
    void Close();

  private:
    void Write(std::string_view label, std::string_view text, Clock::time_point now);
    void FlushLogLine(Clock::time_point now);

    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_logLine;  // the log's line not yet ended
};

}  // namespace kx
