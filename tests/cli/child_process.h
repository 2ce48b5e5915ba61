// Runs kxupgrade as a child process with its own environment, its output in files that
// the test can watch while it runs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

class ChildProcess {
  public:
    using Env = std::map<std::string, std::string>;

    ChildProcess(const std::vector<std::string>& argv, const Env& env, const std::string& folder)
        : m_out(folder + "/stdout.txt"), m_err(folder + "/stderr.txt") {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e);
            if (entry.rfind("KXSIM_", 0) != 0 && entry.rfind("LD_LIBRARY_PATH=", 0) != 0) {
                environment.push_back(entry);
            }
        }
        for (const auto& [key, value] : env) {
            environment.push_back(key + "=" + value);
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> args, envp;
            for (const auto& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            for (const auto& e : environment) {
                envp.push_back(const_cast<char*>(e.c_str()));
            }
            envp.push_back(nullptr);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
    }

    ~ChildProcess() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    std::string Out() const { return Slurp(m_out); }
    std::string Err() const { return Slurp(m_err); }

    // Waits until standard output holds `text`; false if the child ended or time ran out.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Out().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void Signal(int signal) { ::kill(m_pid, signal); }

    // The exit status, or -1 when the child had to be killed after `limit` (a hang).
    int Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                m_reaped = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_reaped = true;
        if (WIFSIGNALED(status)) {
            return 128 + WTERMSIG(status);
        }
        return WEXITSTATUS(status);
    }

  private:
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string m_out;
    std::string m_err;
    pid_t m_pid = -1;
    bool m_reaped = false;
};

}  // namespace kx::test
