#include "session_log.h"

#include <fcntl.h>
#include <stdio.h>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "device/utf8_path.h"
#include "printable_text.h"

namespace kx {

namespace fs = std::filesystem;

namespace {

constexpr char kPrefix[] = "session-";
constexpr char kSuffix[] = ".log";

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return local;
}

// "2026-12-08 06:01:02.123", or "20261208-060102-123" for a file name.
std::string Stamp(SessionLog::Clock::time_point now, bool forFileName) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    const std::tm local = LocalTime(SessionLog::Clock::to_time_t(now));
    char text[40];
    std::strftime(text, sizeof text, forFileName ? "%Y%m%d-%H%M%S" : "%Y-%m-%d %H:%M:%S", &local);
    char withMillis[48];
    std::snprintf(withMillis, sizeof withMillis, forFileName ? "%s-%03d" : "%s.%03d", text,
                  static_cast<int>(millis));
    return withMillis;
}

bool IsSessionFile(const fs::path& path) {
    const std::string name = Utf8FromPath(path.filename());
    return name.size() > sizeof kPrefix + sizeof kSuffix - 2 && name.rfind(kPrefix, 0) == 0 &&
           name.compare(name.size() - (sizeof kSuffix - 1), sizeof kSuffix - 1, kSuffix) == 0;
}

// The names begin with the time they were made, so their order is the sessions' order.
void KeepNewest(const fs::path& folder, std::size_t kept) {
    std::error_code error;
    std::vector<fs::path> sessions;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (IsSessionFile(it->path())) {
            sessions.push_back(it->path());
        }
    }
    std::sort(sessions.begin(), sessions.end());
    for (std::size_t i = 0; i + kept < sessions.size(); ++i) {
        fs::remove(sessions[i], error);
    }
}

// Creates the file only where none of that name exists: "wx" is C11 and the Windows C
// runtime the MinGW build links ignores the "x". On Windows the name is opened wide: the
// narrow functions read it in the ANSI code page, not as the UTF-8 it is.
std::FILE* CreateNew(const std::string& path) {
#ifdef _WIN32
    const int fd =
        _wopen(PathFromUtf8(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    return fd < 0 ? nullptr : _fdopen(fd, "w");
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd < 0 ? nullptr : fdopen(fd, "w");
#endif
}

// UTF-8, as every path in the program; on Windows from the wide environment.
std::string FromEnvironment(const char* name) {
#ifdef _WIN32
    const std::wstring wideName(name, name + std::char_traits<char>::length(name));
    const wchar_t* value = _wgetenv(wideName.c_str());
    return value != nullptr ? Utf8FromPath(fs::path(value)) : std::string();
#else
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
#endif
}

}  // namespace

std::string SessionLogFolder() {
#ifdef _WIN32
    const std::string base = FromEnvironment("LOCALAPPDATA");
#else
    std::string base = FromEnvironment("XDG_STATE_HOME");
    if (base.empty() && !FromEnvironment("HOME").empty()) {
        base = Utf8FromPath(PathFromUtf8(FromEnvironment("HOME")) / ".local" / "state");
    }
#endif
    return base.empty() ? std::string() : Utf8FromPath(PathFromUtf8(base) / "kxupgrade");
}

SessionLog::~SessionLog() {
    Close();
}

bool SessionLog::Open(const std::string& folder, Clock::time_point now, std::size_t kept) {
    Close();
    if (folder.empty()) {
        return false;
    }
    std::error_code error;
    fs::create_directories(PathFromUtf8(folder), error);
    const std::string stem = Utf8FromPath(PathFromUtf8(folder) / (kPrefix + Stamp(now, true)));
    // Two windows started in the same millisecond each get a file of their own.
    for (int attempt = 1; attempt < 100 && m_file == nullptr; ++attempt) {
        m_path = stem + (attempt == 1 ? std::string() : "-" + std::to_string(attempt)) + kSuffix;
        m_file = CreateNew(m_path);
        if (m_file == nullptr && !fs::exists(PathFromUtf8(m_path), error)) {
            break;
        }
    }
    if (m_file == nullptr) {
        m_path.clear();
        return false;
    }
    KeepNewest(PathFromUtf8(folder), std::max<std::size_t>(kept, 1));
    Write("session", "started", now);
    return true;
}

void SessionLog::Connection(std::string_view text, Clock::time_point now) {
    Write("link", text, now);
}

void SessionLog::Transfer(std::string_view text, Clock::time_point now) {
    Write("transfer", text, now);
}

void SessionLog::LogReplaced(std::string_view bytes, Clock::time_point now) {
    FlushLogLine(now);
    Write("log", "(cleared)", now);
    LogAppended(bytes, now);
}

void SessionLog::LogAppended(std::string_view bytes, Clock::time_point now) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            continue;  // the log's lines end in CR LF
        }
        if (byte == '\n') {
            Write("log", m_logLine, now);
            m_logLine.clear();
        } else {
            AppendPrintable(m_logLine, byte);
        }
    }
}

void SessionLog::Note(std::string_view text, Clock::time_point now) {
    Write("note", text, now);
}

void SessionLog::Close() {
    if (m_file != nullptr) {
        FlushLogLine(Clock::now());
        std::fclose(m_file);
        m_file = nullptr;
    }
}

void SessionLog::FlushLogLine(Clock::time_point now) {
    if (!m_logLine.empty()) {
        Write("log", m_logLine, now);
        m_logLine.clear();
    }
}

void SessionLog::Write(std::string_view label, std::string_view text, Clock::time_point now) {
    if (m_file == nullptr) {
        return;
    }
    if (label != "log") {
        FlushLogLine(now);
    }
    std::string line = Stamp(now, false);
    line += ' ';
    line += label;
    line += ": ";
    if (label == "log") {
        line += text;  // already made printable
    } else {
        AppendPrintableUtf8(line, text);
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_file);
    // Written through at once: the file matters most when the program did not end well.
    std::fflush(m_file);
}

}  // namespace kx
