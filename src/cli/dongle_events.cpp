#include "dongle_events.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "string_table.h"

namespace kx::cli {

namespace {

// Progress lines come at most this often; the last one of a transfer always comes.
constexpr std::chrono::milliseconds kProgressPeriod(250);

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

std::string_view ToolVersion() {
    return KX_VERSION;
}

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

DongleEvents::DongleEvents(Sink out, DongleIdentity dongle, std::string file)
    : m_out(std::move(out)), m_dongle(std::move(dongle)), m_file(std::move(file)) {}

JsonObject DongleEvents::Event(std::string_view name) const {
    JsonObject event;
    event.Set("event", name);
    event.Set("serial", m_dongle.serial);
    if (m_dongle.location) {
        event.Set("location", static_cast<long long>(*m_dongle.location));
    }
    event.Set("time", UtcTimestamp(std::chrono::system_clock::now()));
    event.Set("schema", kEventSchema);
    event.Set("version", ToolVersion());
    return event;
}

void DongleEvents::Emit(const JsonObject& event) {
    if (m_out) {
        m_out(event.Line() + "\n");
    }
}

void DongleEvents::ConnectionChanged(std::string_view text) {
    if (text == text::kConnected && !m_connected) {
        m_connected = true;
        if (identify) {
            if (std::optional<DongleIdentity> opened = identify()) {
                m_dongle = std::move(*opened);
            }
        }
        Emit(Event("connected"));
        if (m_startPending) {
            m_startPending = false;
            EmitStarted();
        }
    } else if ((text == text::kNotResponding || text == text::kInUse) && m_connected) {
        m_connected = false;
        Emit(Event("lost"));
    }
}

void DongleEvents::Announced(std::string_view name) {
    m_name = name;
    Emit(Event("announced").Set("name", name));
}

void DongleEvents::TransferChanged(TransferState state, std::string_view sha256,
                                   std::uint64_t size) {
    if (state != TransferState::InProgress || m_transferring) {
        return;
    }
    m_transferring = true;
    m_sha256 = sha256;
    m_total = static_cast<std::uint32_t>(size);
    EmitStarted();
}

void DongleEvents::EmitStarted() {
    m_position = 0;
    m_reported = 0;
    m_started = Clock::now();
    m_lastProgress = m_started;
    JsonObject event = Event("started");
    event.Set("file", m_file);
    event.Set("sha256", m_sha256);
    event.Set("total", static_cast<long long>(m_total));
    Emit(event);
}

void DongleEvents::ProgressMoved(std::uint32_t position, Clock::time_point now) {
    if (!m_transferring || position == m_position) {
        return;
    }
    m_position = position;
    if (now - m_lastProgress < kProgressPeriod && position < m_total) {
        return;
    }
    EmitProgress(now);
}

void DongleEvents::EmitProgress(Clock::time_point now) {
    m_lastProgress = now;
    m_reported = m_position;
    const double seconds = Seconds(now - m_started);
    JsonObject event = Event("progress");
    event.Set("bytes", static_cast<long long>(m_position));
    event.Set("total", static_cast<long long>(m_total));
    event.Set("rate", seconds > 0 ? m_position / seconds : 0.0);
    Emit(event);
}

void DongleEvents::Restarted(int count) {
    m_restarts = count;
    Emit(Event("restart").Set("count", count));
}

void DongleEvents::Replaced() {
    std::string reason = "pulled out during the transfer";
    if (identify) {
        if (const std::optional<DongleIdentity> came = identify()) {
            reason += "; " + (came->serial.empty() ? std::string("another dongle") : came->serial) +
                      " took its place";
        }
    }
    End("removed", reason, -1);
    // The dongle that came is followed from here: its own start, name and restarts.
    m_begun = Clock::now();
    m_name.clear();
    m_restarts = 0;
    m_connected = false;
    m_startPending = m_transferring;
}

void DongleEvents::Finished(int status, std::string_view reason) {
    End(status == 0 ? "completed" : "aborted", status == 0 ? "" : reason, status);
}

void DongleEvents::End(std::string_view result, std::string_view reason, int status) {
    if (m_transferring && m_position != m_reported) {
        EmitProgress(Clock::now());
    }
    const double duration = Seconds(Clock::now() - m_begun);
    JsonObject event = Event(result);
    if (!reason.empty()) {
        event.Set("reason", reason);
    }
    if (status >= 0) {
        event.Set("exit", status);
    }
    event.Set("bytes", static_cast<long long>(m_position));
    event.Set("duration", duration);
    if (m_transferring) {
        event.Set("sha256", m_sha256);
    }
    event.Set("restarts", m_restarts);
    Emit(event);
    if (ended) {
        ended(DongleEnd{m_dongle, m_name, m_transferring ? m_sha256 : std::string(),
                        m_transferring ? m_total : 0u, std::string(result), std::string(reason),
                        duration, m_restarts, m_transferring});
    }
}

}  // namespace kx::cli
