#include "fleet.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "child_processes.h"
#include "console_report.h"
#include "dongle_events.h"
#include "exit_codes.h"
#include "flash_record.h"
#include "json_line.h"
#include "progress_line.h"

namespace kx::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollSlice(100);
constexpr std::chrono::milliseconds kListPeriod(250);
constexpr std::chrono::milliseconds kDrawPeriod(200);
// Children asked to stop that have not ended by then are killed.
constexpr std::chrono::seconds kStopGrace(10);

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

std::string ExitText(int status) {
#ifdef _WIN32
    return "exit status " + std::to_string(status);
#else
    return status > 128 ? "killed by signal " + std::to_string(status - 128)
                        : "exit status " + std::to_string(status);
#endif
}

// An event the parent gives for a child that cannot: the fields every event carries.
JsonObject ParentEvent(const DongleRun& run, std::string_view kind) {
    JsonObject event;
    event.Set("event", kind);
    event.Set("serial", run.dongle.serial);
    event.Set("location", static_cast<long long>(run.dongle.location));
    event.Set("time", UtcTimestamp(std::chrono::system_clock::now()));
    event.Set("schema", kEventSchema);
    event.Set("version", ToolVersion());
    return event;
}

struct Follow {
    DongleRun run;
    int child = -1;
    Clock::time_point begun = Clock::now();
    Clock::time_point transferStarted{};
    bool verdict = false;
    bool dropped = false;  // station: unplugged or stopped before its transfer started
};

class Fleet {
  public:
    Fleet(const FleetJob& job, const FleetOutput& output) : m_job(job), m_output(output) {}

    int Run(const std::atomic<bool>* stop);

  private:
    bool StartFor(const ListedDongle& dongle);
    void Watch();
    void OnLine(int child, const std::string& line);
    void OnExit(int child, int status);
    void Finish(Follow& follow);
    void Say(std::string_view line);
    void Draw(bool force);
    void EraseBlock();
    std::string BlockLine(const Follow& follow) const;
    std::string Tally() const;

    const FleetJob& m_job;
    const FleetOutput& m_output;
    ChildProcesses m_children;
    std::vector<Follow> m_runs;
    std::map<int, std::size_t> m_byChild;
    std::set<std::uint32_t> m_done;  // station: finished and not unplugged since
    int m_completed = 0;
    int m_aborted = 0;
    std::vector<std::string> m_failed;  // serial numbers, for the retry command
    bool m_interrupted = false;
    std::size_t m_drawn = 0;
    Clock::time_point m_lastDraw{};
};

bool Fleet::StartFor(const ListedDongle& dongle) {
    std::vector<std::string> argv{m_job.self, "--json", "--location",
                                  FormatLocation(dongle.location)};
    argv.insert(argv.end(), m_job.transferArgs.begin(), m_job.transferArgs.end());
    argv.push_back("--");
    argv.push_back(m_job.file);
    std::string error;
    const int child = m_children.Start(argv, error);
    if (child < 0) {
        m_output.err("kxupgrade: cannot start a flasher for " + dongle.serial + ": " + error +
                     "\n");
        return false;
    }
    Follow follow;
    follow.run.dongle = dongle;
    follow.child = child;
    m_byChild[child] = m_runs.size();
    m_runs.push_back(std::move(follow));
    if (!m_output.bar && !m_job.json) {
        Say(Printable(dongle.serial) + ": starting\n");
    }
    return true;
}

void Fleet::OnLine(int child, const std::string& line) {
    const auto at = m_byChild.find(child);
    if (at == m_byChild.end()) {
        return;
    }
    std::optional<JsonObject> event = ParseJsonObject(line);
    if (!event) {
        return;
    }
    Follow& follow = m_runs[at->second];
    // The child names the dongle it opened, read at the open; the listed one stands in
    // where it cannot tell.
    const std::string serial = event->Text("serial").value_or("");
    const std::optional<double> location = event->Number("location");
    if (!serial.empty()) {
        follow.run.dongle.serial = serial;
    }
    if (location) {
        follow.run.dongle.location = static_cast<std::uint32_t>(*location);
    }
    event->Set("serial", follow.run.dongle.serial);
    event->Set("location", static_cast<long long>(follow.run.dongle.location));
    const std::string before = follow.run.state;
    const bool wasStarted = follow.run.started;
    ApplyEvent(follow.run, event->Line());
    if (follow.run.started && !wasStarted) {
        follow.transferStarted = Clock::now();
    }
    const std::string kind = event->Text("event").value_or("");
    if (m_job.json) {
        m_output.out(event->Line() + "\n");
    } else if (!m_output.bar && follow.run.state != before && kind != "completed" &&
               kind != "aborted" && kind != "removed") {
        std::string text = Printable(follow.run.dongle.serial) + ": " + follow.run.state;
        if (kind == "announced") {
            text += " " + Printable(follow.run.name);
        }
        Say(text + "\n");
    }
    if (kind == "completed" || kind == "aborted") {
        follow.verdict = true;
    } else if (kind == "removed") {
        // Pulled out and replaced by another dongle, which the same child now flashes.
        follow.run.finished = true;
        Finish(follow);
        Follow next;
        next.run.dongle = follow.run.dongle;
        next.child = child;
        m_byChild[child] = m_runs.size();
        m_runs.push_back(std::move(next));
    }
}

void Fleet::OnExit(int child, int status) {
    const auto at = m_byChild.find(child);
    if (at == m_byChild.end()) {
        return;
    }
    Follow& follow = m_runs[at->second];
    m_byChild.erase(at);
    follow.run.exit = status;
    follow.run.finished = true;
    if (m_job.station && (!follow.run.started || follow.dropped)) {
        follow.dropped = true;  // nothing was sent: no result, no record
        follow.run.state = follow.run.result.empty() ? "dropped" : follow.run.result;
        return;
    }
    if (!follow.verdict) {
        // Killed, crashed, or its output lost: the parent gives the dongle its end.
        follow.run.result = "aborted";
        follow.run.reason = "kxupgrade ended without a verdict (" + ExitText(status) + ")";
        follow.run.duration = std::chrono::duration<double>(Clock::now() - follow.begun).count();
        if (m_job.json) {
            JsonObject event = ParentEvent(follow.run, "aborted");
            event.Set("reason", follow.run.reason);
            event.Set("exit", status);
            event.Set("bytes", static_cast<long long>(follow.run.bytes));
            event.Set("duration", follow.run.duration);
            event.Set("restarts", follow.run.restarts);
            m_output.out(event.Line() + "\n");
        }
    }
    follow.run.state = follow.run.result;
    Finish(follow);
}

void Fleet::Finish(Follow& follow) {
    const DongleRun& run = follow.run;
    if (run.result == "completed") {
        ++m_completed;
    } else {
        ++m_aborted;
        m_failed.push_back(run.dongle.serial);
    }
    if (run.exit == kExitInterrupted) {
        m_interrupted = true;
    }
    if (m_job.station && run.result != "removed") {
        m_done.insert(run.dongle.location);  // its socket holds the one that came otherwise
    }
    if (!m_job.record.empty()) {
        FlashRecord record;
        record.time = UtcTimestamp(std::chrono::system_clock::now());
        record.serial = run.dongle.serial;
        record.location = FormatLocation(run.dongle.location);
        record.name = run.name;
        record.file = m_job.file;
        record.sha256 = run.sha256;
        record.size = run.started ? run.total : 0;
        record.result = run.result;
        record.reason = run.reason;
        record.duration = run.duration;
        record.restarts = run.restarts;
        if (const auto problem = AppendRecord(m_job.record, record)) {
            m_output.err("kxupgrade: " + m_job.record + ": " + *problem + "\n");
        }
    }
    if (m_job.json) {
        return;
    }
    if (m_job.station || !m_output.bar) {
        std::string line =
            Printable(run.dongle.serial) + "  " + Printable(run.name) + "  " + run.result;
        if (!run.reason.empty()) {
            line += ": " + Printable(run.reason);
        }
        line += "  " + FormatDuration(run.duration);
        if (m_job.station) {
            line += "  (" + Tally() + ")";
        }
        Say(line + "\n");
    }
}

std::string Fleet::Tally() const {
    return "completed " + std::to_string(m_completed) + " / aborted " + std::to_string(m_aborted);
}

void Fleet::Say(std::string_view line) {
    EraseBlock();
    m_output.out(line);
    Draw(true);
}

std::string Fleet::BlockLine(const Follow& follow) const {
    const DongleRun& run = follow.run;
    std::string line = Pad(Printable(run.dongle.serial), 10) + " ";
    if (run.started) {
        const double seconds =
            run.finished
                ? run.duration
                : std::chrono::duration<double>(Clock::now() - follow.transferStarted).count();
        // A completed dongle took the whole file, whatever the last count said.
        const std::uint32_t shown = run.result == "completed" ? run.total : run.bytes;
        line += FormatProgressLine(shown, run.total, seconds) + "  ";
    }
    line += run.state;
    if (run.finished && !run.reason.empty()) {
        line += ": " + Printable(run.reason);
    }
    return line;
}

void Fleet::EraseBlock() {
    if (m_output.bar && m_drawn > 0) {
        m_output.bar("\033[" + std::to_string(m_drawn) + "A\r\033[J");
        m_drawn = 0;
    }
}

void Fleet::Draw(bool force) {
    if (!m_output.bar || m_job.json) {
        return;
    }
    const auto now = Clock::now();
    if (!force && now - m_lastDraw < kDrawPeriod) {
        return;
    }
    m_lastDraw = now;
    std::string block;
    std::size_t lines = 0;
    for (const Follow& follow : m_runs) {
        if (m_job.station && (follow.run.finished || follow.dropped)) {
            continue;  // its result line is printed above
        }
        block += "\r\033[K" + BlockLine(follow) + "\n";
        ++lines;
    }
    if (m_job.station) {
        block += "\r\033[K" + Tally() + "  waiting for dongles (Ctrl+C ends)\n";
        ++lines;
    }
    if (m_drawn > 0) {
        block = "\033[" + std::to_string(m_drawn) + "A" + block + "\033[J";
    }
    m_output.bar(block);
    m_drawn = lines;
}

int Fleet::Run(const std::atomic<bool>* stop) {
    if (!m_job.station) {
        const std::vector<ListedDongle> dongles = m_job.list();
        if (dongles.empty()) {
            m_output.err("kxupgrade: no dongle connected\n");
            return kExitNoAnnouncement;
        }
        for (const ListedDongle& dongle : dongles) {
            StartFor(dongle);
        }
    }
    bool stopping = false;
    Clock::time_point stopAsked{};
    Clock::time_point listed{};
    for (;;) {
        if (!stopping && stop != nullptr && stop->load()) {
            stopping = true;
            stopAsked = Clock::now();
            m_children.StopAll();
        }
        if (stopping && (m_children.Running() == 0 || Clock::now() - stopAsked > kStopGrace)) {
            break;
        }
        if (!m_job.station && !stopping && m_children.Running() == 0) {
            break;
        }
        if (m_job.station && !stopping && Clock::now() - listed >= kListPeriod) {
            listed = Clock::now();
            Watch();
        }
        std::vector<ChildProcesses::Line> lines;
        std::vector<ChildProcesses::Exit> exits;
        m_children.Poll(kPollSlice, lines, exits);
        for (const auto& line : lines) {
            OnLine(line.id, line.text);
        }
        for (const auto& exit : exits) {
            OnExit(exit.id, exit.status);
        }
        Draw(!exits.empty());
    }
    Draw(true);
    m_drawn = 0;
    if (!m_job.station && !m_job.json) {
        std::vector<DongleRun> runs;
        for (const Follow& follow : m_runs) {
            runs.push_back(follow.run);
        }
        m_output.out("\n" + ResultTable(runs));
    }
    if (!m_failed.empty() && !m_job.json) {
        m_output.out("Retry the dongles that failed: " + RetryCommand(m_job, m_failed) + "\n");
    }
    // A station ends by an interrupt: that is an interruption only for a transfer it cut.
    if (m_interrupted || (stopping && !m_job.station)) {
        return kExitInterrupted;
    }
    return m_aborted > 0 ? kExitAborted : kExitCompleted;
}

// Station: starts a child for every dongle newly plugged in; forgets finished dongles
// once they are unplugged, and stops the children of dongles pulled before they sent.
void Fleet::Watch() {
    const std::vector<ListedDongle> dongles = m_job.list();
    std::set<std::uint32_t> present;
    for (const ListedDongle& dongle : dongles) {
        present.insert(dongle.location);
    }
    for (auto it = m_done.begin(); it != m_done.end();) {
        it = present.count(*it) == 0 ? m_done.erase(it) : std::next(it);
    }
    std::set<std::uint32_t> busy;
    for (Follow& follow : m_runs) {
        if (follow.run.finished) {
            continue;
        }
        if (present.count(follow.run.dongle.location) == 0 && !follow.run.started) {
            follow.dropped = true;
            m_children.Stop(follow.child);
        }
        busy.insert(follow.run.dongle.location);
    }
    for (const ListedDongle& dongle : dongles) {
        if (m_done.count(dongle.location) == 0 && busy.count(dongle.location) == 0) {
            StartFor(dongle);
        }
    }
}

}  // namespace

int RunFleet(const FleetJob& job, const FleetOutput& output, const std::atomic<bool>* stop) {
    Fleet fleet(job, output);
    return fleet.Run(stop);
}

}  // namespace kx::cli
