// What the parent makes of its children's events: each dongle's run, the table --all
// ends with, and the command that retries the dongles that failed.
#include <set>

#include "console_report.h"
#include "fleet.h"
#include "json_line.h"
#include "progress_line.h"

namespace kx::cli {

namespace {

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

// An argument as a shell takes it back: quoted unless it is plain.
std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789._/:=,+-@\\") == std::string::npos;
    if (plain) {
        return word;
    }
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
#endif
}

}  // namespace

// The command that flashes again just the dongles that failed, by serial number.
std::string RetryCommand(const FleetJob& job, const std::vector<std::string>& serials) {
    std::string list;
    for (const std::string& serial : std::set<std::string>(serials.begin(), serials.end())) {
        list += (list.empty() ? "" : ",") + serial;
    }
    std::vector<std::string> words{job.self, "--all", "--serial", list};
    words.insert(words.end(), job.transferArgs.begin(), job.transferArgs.end());
    if (!job.record.empty()) {
        words.push_back("--record");
        words.push_back(job.record);
    }
    words.push_back("--");
    words.push_back(job.file);
    std::string command;
    for (const std::string& word : words) {
        command += (command.empty() ? "" : " ") + ShellWord(word);
    }
    return command;
}

bool ApplyEvent(DongleRun& run, std::string_view line) {
    const std::optional<JsonObject> event = ParseJsonObject(line);
    if (!event) {
        return false;
    }
    const std::string kind = event->Text("event").value_or("");
    const auto number = [&](const char* key, double fallback) {
        return event->Number(key).value_or(fallback);
    };
    if (kind == "connected") {
        run.state = "connected";
    } else if (kind == "lost") {
        run.state = "lost";
    } else if (kind == "announced") {
        run.name = event->Text("name").value_or("");
        run.state = "announced";
    } else if (kind == "started") {
        run.started = true;
        run.total = static_cast<std::uint32_t>(number("total", 0));
        run.sha256 = event->Text("sha256").value_or("");
        run.bytes = 0;
        run.state = "flashing";
    } else if (kind == "progress") {
        run.bytes = static_cast<std::uint32_t>(number("bytes", run.bytes));
        run.total = static_cast<std::uint32_t>(number("total", run.total));
        run.state = "flashing";
    } else if (kind == "restart") {
        run.restarts = static_cast<int>(number("count", run.restarts + 1));
        run.state = "restarted";
    } else if (kind == "completed" || kind == "aborted" || kind == "removed") {
        run.result = kind;
        run.reason = event->Text("reason").value_or("");
        run.duration = number("duration", 0);
        run.exit = static_cast<int>(number("exit", kind == "completed" ? 0 : 1));
        run.restarts = static_cast<int>(number("restarts", run.restarts));
        run.bytes = static_cast<std::uint32_t>(number("bytes", run.bytes));
        run.state = kind;
    } else {
        return false;
    }
    return true;
}

std::string ResultTable(const std::vector<DongleRun>& runs) {
    const std::vector<std::string> heads{"SERIAL", "NAME", "RESULT", "REASON", "TIME"};
    std::vector<std::vector<std::string>> rows;
    for (const DongleRun& run : runs) {
        rows.push_back({Printable(run.dongle.serial), Printable(run.name),
                        run.result.empty() ? run.state : run.result, Printable(run.reason),
                        FormatDuration(run.duration)});
    }
    std::vector<std::size_t> widths;
    for (std::size_t c = 0; c < heads.size(); ++c) {
        std::size_t width = heads[c].size();
        for (const auto& row : rows) {
            width = std::max(width, row[c].size());
        }
        widths.push_back(width);
    }
    std::string table;
    const auto add = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += c + 1 < row.size() ? Pad(row[c], widths[c] + 2) : row[c];
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        table += line + "\n";
    };
    add(heads);
    for (const auto& row : rows) {
        add(row);
    }
    return table;
}

}  // namespace kx::cli
