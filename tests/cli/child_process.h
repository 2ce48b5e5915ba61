// Runs kxupgrade as a child process with its own environment, its output in files that
// the test can watch while it runs.
#pragma once

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "child_processes.h"
#endif

namespace kx::test {

class ChildProcess {
  public:
    using Env = std::map<std::string, std::string>;

    // `workingFolder`, when given, is the child's current folder.
    ChildProcess(const std::vector<std::string>& argv, const Env& env, const std::string& folder,
                 const std::string& workingFolder = {})
        : m_out(folder + "/stdout.txt"), m_err(folder + "/stderr.txt"), m_cwd(workingFolder) {
        Start(argv, env);
    }

    ~ChildProcess() {
        if (Started() && !m_reaped) {
            Kill();
        }
#ifdef _WIN32
        if (m_process != nullptr) {
            ::CloseHandle(m_process);
        }
#endif
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::string Out() const {
        return Slurp(m_out);
    }
    std::string Err() const {
        return Slurp(m_err);
    }

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

    // Call before starting a child that Interrupt() will stop. Console events travel only
    // between processes of one console, so on Windows the test takes a console of its own
    // (not CTest's, nor another test's) that its children then share. Its own standard
    // handles are kept from being inherited first: the console host started for the new
    // console would hold CTest's output pipe open, and CTest would wait for it.
    static void ShareConsoleWithChildren() {
#ifdef _WIN32
        for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            ::SetHandleInformation(::GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
        }
        ::FreeConsole();
        ::AllocConsole();
#endif
    }

    // Asks the child to stop the way its platform's user does: SIGINT (Ctrl+C in a
    // terminal), or on Windows the console's Ctrl+C event. That event goes to every process
    // of the console's group, this test too, which swallows it; Wine delivers no other.
    void Interrupt() {
#ifdef _WIN32
        ::SetConsoleCtrlHandler(SwallowCtrlC, TRUE);
        ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
#else
        ::kill(m_pid, SIGINT);
#endif
    }

#ifndef _WIN32
    // A hang-up to the child's whole process group, as a closed terminal sends it: the
    // child leads a group of its own, so that this test is not in it.
    void HangUp() {
        ::killpg(m_pid, SIGHUP);
    }
#endif

    // The processes the child started, by their ids.
    std::vector<unsigned long> Children() const {
        std::vector<unsigned long> children;
#ifdef _WIN32
        HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
             more = ::Process32NextW(snapshot, &entry)) {
            // The console host Wine starts for a process is not one of its children here.
            if (entry.th32ParentProcessID == m_pid &&
                ::_wcsicmp(entry.szExeFile, L"conhost.exe") != 0) {
                children.push_back(entry.th32ProcessID);
            }
        }
        ::CloseHandle(snapshot);
#else
        DIR* proc = ::opendir("/proc");
        while (dirent* entry = proc != nullptr ? ::readdir(proc) : nullptr) {
            std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
                continue;
            }
            // pid (name) state ppid ...: the name may hold spaces and parentheses.
            std::istringstream rest(line.substr(line.rfind(')') + 1));
            std::string state;
            long parent = 0;
            if (rest >> state >> parent && parent == m_pid) {
                children.push_back(std::stoul(entry->d_name));
            }
        }
        if (proc != nullptr) {
            ::closedir(proc);
        }
#endif
        return children;
    }

    // Ends a process at once, as kill -9 or the task manager does.
    static void KillProcess(unsigned long pid) {
#ifdef _WIN32
        if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))) {
            ::TerminateProcess(process, 137);
            ::CloseHandle(process);
        }
#else
        ::kill(static_cast<pid_t>(pid), SIGKILL);
#endif
    }

    // The exit status, or -1 when the child had to be killed after `limit` (a hang).
    int Wait(std::chrono::milliseconds limit) {
#ifdef _WIN32
        if (::WaitForSingleObject(m_process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
            Kill();
            return -1;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        m_reaped = true;
        return static_cast<int>(code);
#else
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_reaped = true;
        if (WIFSIGNALED(status)) {
            return 128 + WTERMSIG(status);
        }
        return WEXITSTATUS(status);
#endif
    }

  private:
    static bool Inherited(const std::string& entry) {
        return entry.rfind("KXSIM_", 0) != 0 && entry.rfind("LD_LIBRARY_PATH=", 0) != 0;
    }

#ifdef _WIN32
    static std::wstring Wide(const std::string& utf8) {
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                            nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                              n);
        return wide;
    }
    static std::string Narrow(const std::wstring& wide) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                            nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<std::size_t>(n), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                              n, nullptr, nullptr);
        return utf8;
    }
    static HANDLE Output(const std::string& path) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        return ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    void Start(const std::vector<std::string>& argv, const Env& env) {
        std::wstring block;
        if (wchar_t* strings = ::GetEnvironmentStringsW()) {
            for (const wchar_t* e = strings; *e != L'\0'; e += std::wcslen(e) + 1) {
                if (Inherited(Narrow(e)) &&
                    env.count(Narrow(e).substr(0, Narrow(e).find('='))) == 0) {
                    block += e;
                    block += L'\0';
                }
            }
            ::FreeEnvironmentStringsW(strings);
        }
        for (const auto& [key, value] : env) {
            block += Wide(key + "=" + value);
            block += L'\0';
        }
        block += L'\0';
        std::wstring line;
        for (const auto& a : argv) {
            line += (line.empty() ? L"" : L" ") + cli::QuoteArgument(Wide(a));
        }
        HANDLE out = Output(m_out);
        HANDLE err = Output(m_err);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION info{};
        // In this test's process group: a new group would start with Ctrl+C turned off.
        if (::CreateProcessW(Wide(argv[0]).c_str(), line.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT, block.data(),
                             m_cwd.empty() ? nullptr : Wide(m_cwd).c_str(), &startup, &info)) {
            m_process = info.hProcess;
            m_pid = info.dwProcessId;
            ::CloseHandle(info.hThread);
        }
        ::CloseHandle(out);
        ::CloseHandle(err);
    }
    bool Started() const {
        return m_process != nullptr;
    }
    void Kill() {
        ::TerminateProcess(m_process, 137);
        ::WaitForSingleObject(m_process, INFINITE);
        m_reaped = true;
    }

    static BOOL WINAPI SwallowCtrlC(DWORD event) {
        return event == CTRL_C_EVENT ? TRUE : FALSE;
    }

    HANDLE m_process = nullptr;
    DWORD m_pid = 0;
#else
    void Start(const std::vector<std::string>& argv, const Env& env) {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            if (Inherited(*e)) {
                environment.push_back(*e);
            }
        }
        for (const auto& [key, value] : env) {
            environment.push_back(key + "=" + value);
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            const int out = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (!m_cwd.empty() && ::chdir(m_cwd.c_str()) != 0) {
                ::_exit(126);
            }
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
    bool Started() const {
        return m_pid > 0;
    }
    void Kill() {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_reaped = true;
    }

    pid_t m_pid = -1;
#endif

    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string all = text.str();
#ifdef _WIN32
        // The console streams are in text mode there: every line ends in CR LF.
        std::erase(all, '\r');
#endif
        return all;
    }

    std::string m_out;
    std::string m_err;
    std::string m_cwd;
    bool m_reaped = false;
};

}  // namespace kx::test
