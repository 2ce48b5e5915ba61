// The Windows side: CreateProcessW with a pipe on the child's standard output, read by one
// thread per child (an anonymous pipe cannot be waited on together with others).
//
// The children share the flasher's console and process group, so the console's own
// Ctrl+C, Ctrl+Break and close events reach each of them as they reach the flasher: each
// closes its dongle and ends with 130. Windows has no way to send one of them alone such
// an event (a process group of its own would start with Ctrl+C turned off, and Wine
// delivers no Ctrl+Break), so Stop() ends a child with TerminateProcess; the fleet asks
// that only of a child whose dongle was pulled before anything was sent, and Windows
// closes the child's handles, its dongle's too.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "child_processes.h"
#include "device/utf8_path.h"

namespace kx::cli {

namespace {

std::wstring Wide(const std::string& utf8) {
    return PathFromUtf8(utf8).wstring();
}

std::string LastError() {
    const DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = text != nullptr ? text : L"";
    ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code)
                           : Utf8FromPath(std::filesystem::path(message));
}

// What the reader threads hand over, guarded by one lock for all children.
struct Shared {
    std::mutex lock;
    std::condition_variable arrived;
    bool news = false;
};

}  // namespace

struct ChildProcesses::Child {
    HANDLE process = nullptr;
    HANDLE out = nullptr;  // read end of the pipe, owned by the reader thread
    std::thread reader;
    // Under Shared::lock:
    std::string pending;
    bool ended = false;  // the pipe reached its end
    bool reaped = false;
};

namespace {
Shared& Pipes() {
    static Shared shared;
    return shared;
}
}  // namespace

std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

ChildProcesses::ChildProcesses() = default;

ChildProcesses::~ChildProcesses() {
    for (auto& [id, child] : m_children) {
        if (!child->reaped) {
            ::TerminateProcess(child->process, 137);
            ::WaitForSingleObject(child->process, INFINITE);
        }
        // The child's end of the pipe closed with it: the reader sees the pipe's end.
        if (child->reader.joinable()) {
            child->reader.join();
        }
        ::CloseHandle(child->process);
    }
}

int ChildProcesses::Start(const std::vector<std::string>& argv, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = LastError();
        return -1;
    }
    // Only the child's end is inherited; standard input and error go nowhere.
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul =
        ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::wstring line;
    for (const std::string& arg : argv) {
        line += (line.empty() ? L"" : L" ") + QuoteArgument(Wide(arg));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = writeEnd;
    startup.hStdError = nul;
    PROCESS_INFORMATION info{};
    // In the flasher's console when it has one, so that its events reach the children;
    // without one, no console window for each child either.
    DWORD attached = 0;
    const DWORD flags = ::GetConsoleProcessList(&attached, 1) > 0 ? 0 : CREATE_NO_WINDOW;
    const BOOL started = ::CreateProcessW(Wide(argv.at(0)).c_str(), line.data(), nullptr, nullptr,
                                          TRUE, flags, nullptr, nullptr, &startup, &info);
    if (!started) {
        error = LastError();
    }
    ::CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) {
        ::CloseHandle(nul);
    }
    if (!started) {
        ::CloseHandle(readEnd);
        return -1;
    }
    ::CloseHandle(info.hThread);
    auto child = std::make_unique<Child>();
    child->process = info.hProcess;
    child->out = readEnd;
    Child* raw = child.get();
    child->reader = std::thread([raw] {
        Shared& shared = Pipes();
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(raw->out, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard hold(shared.lock);
            raw->pending.append(buffer, got);
            shared.news = true;
            shared.arrived.notify_all();
        }
        ::CloseHandle(raw->out);
        std::lock_guard hold(shared.lock);
        raw->ended = true;
        shared.news = true;
        shared.arrived.notify_all();
    });
    const int id = m_nextId++;
    m_children[id] = std::move(child);
    return id;
}

void ChildProcesses::Poll(std::chrono::milliseconds timeout, std::vector<Line>& lines,
                          std::vector<Exit>& exits) {
    Shared& shared = Pipes();
    std::vector<int> done;
    {
        std::unique_lock hold(shared.lock);
        shared.arrived.wait_for(hold, timeout, [&] { return shared.news; });
        shared.news = false;
        for (auto& [id, child] : m_children) {
            for (std::size_t end; (end = child->pending.find('\n')) != std::string::npos;) {
                std::string text = child->pending.substr(0, end);
                if (!text.empty() && text.back() == '\r') {
                    text.pop_back();
                }
                lines.push_back(Line{id, std::move(text)});
                child->pending.erase(0, end + 1);
            }
            if (child->ended) {
                if (!child->pending.empty()) {
                    lines.push_back(Line{id, child->pending});
                    child->pending.clear();
                }
                done.push_back(id);
            }
        }
    }
    for (const int id : done) {
        const auto it = m_children.find(id);
        Child& child = *it->second;
        // Its output is all read; it counts as ended once the process has.
        if (::WaitForSingleObject(child.process, 0) != WAIT_OBJECT_0) {
            continue;
        }
        DWORD status = 0;
        ::GetExitCodeProcess(child.process, &status);
        child.reaped = true;
        child.reader.join();
        ::CloseHandle(child.process);
        exits.push_back(Exit{id, static_cast<int>(status)});
        m_children.erase(it);
    }
}

void ChildProcesses::Stop(int id) {
    const auto it = m_children.find(id);
    if (it != m_children.end() && !it->second->reaped) {
        ::TerminateProcess(it->second->process, 130);
    }
}

void ChildProcesses::StopAll() {
    // Each child shares the console and took the same event as the flasher; a child that
    // does not end within the fleet's grace is ended when the fleet lets go of it.
}

std::size_t ChildProcesses::Running() const {
    return m_children.size();
}

}  // namespace kx::cli
