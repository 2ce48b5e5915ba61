// The POSIX side: posix_spawn with a pipe on the child's standard output.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "child_processes.h"

extern char** environ;

namespace kx::cli {

struct ChildProcesses::Child {
    pid_t pid = -1;
    int out = -1;  // read end of the pipe; -1 once it reached its end
    std::string pending;
    bool reaped = false;
};

ChildProcesses::ChildProcesses() = default;

ChildProcesses::~ChildProcesses() {
    for (auto& [id, child] : m_children) {
        if (!child->reaped) {
            ::kill(child->pid, SIGKILL);
            ::waitpid(child->pid, nullptr, 0);
        }
        if (child->out >= 0) {
            ::close(child->out);
        }
    }
}

int ChildProcesses::Start(const std::vector<std::string>& argv, std::string& error) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (result != 0) {
        ::close(pipeEnds[0]);
        error = std::strerror(result);
        return -1;
    }
    auto child = std::make_unique<Child>();
    child->pid = pid;
    child->out = pipeEnds[0];
    const int id = m_nextId++;
    m_children[id] = std::move(child);
    return id;
}

void ChildProcesses::Poll(std::chrono::milliseconds timeout, std::vector<Line>& lines,
                          std::vector<Exit>& exits) {
    std::vector<pollfd> fds;
    std::vector<int> ids;
    for (const auto& [id, child] : m_children) {
        if (child->out >= 0) {
            fds.push_back(pollfd{child->out, POLLIN, 0});
            ids.push_back(id);
        }
    }
    if (!fds.empty()) {
        ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    } else if (timeout.count() > 0) {
        ::poll(nullptr, 0, static_cast<int>(timeout.count()));
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        Child& child = *m_children[ids[i]];
        char buffer[4096];
        const ssize_t got = ::read(child.out, buffer, sizeof buffer);
        if (got > 0) {
            child.pending.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = child.pending.find('\n')) != std::string::npos;) {
                lines.push_back(Line{ids[i], child.pending.substr(0, end)});
                child.pending.erase(0, end + 1);
            }
        } else if (got == 0 || errno != EINTR) {
            ::close(child.out);
            child.out = -1;
            if (!child.pending.empty()) {
                lines.push_back(Line{ids[i], child.pending});
                child.pending.clear();
            }
        }
    }
    for (auto it = m_children.begin(); it != m_children.end();) {
        Child& child = *it->second;
        int status = 0;
        if (child.out < 0 && ::waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.reaped = true;
            exits.push_back(Exit{
                it->first, WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status)});
            it = m_children.erase(it);
        } else {
            ++it;
        }
    }
}

void ChildProcesses::Stop(int id) {
    const auto it = m_children.find(id);
    if (it != m_children.end() && !it->second->reaped) {
        ::kill(it->second->pid, SIGTERM);
    }
}

void ChildProcesses::StopAll() {
    for (const auto& [id, child] : m_children) {
        Stop(id);
    }
}

std::size_t ChildProcesses::Running() const {
    return m_children.size();
}

}  // namespace kx::cli
