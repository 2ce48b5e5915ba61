#include "window_process.h"

#include <commctrl.h>

#include <thread>

namespace kx::test {

namespace {

struct Search {
    DWORD process;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process && IsWindowVisible(window)) {
        search->found.push_back(window);
    }
    return TRUE;
}

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    *reinterpret_cast<std::wstring*>(param) += WindowText(child) + L"\n";
    return TRUE;
}

// A block of "name=value" strings: the current environment with `extra` over it.
std::wstring EnvironmentBlock(const Environment& extra) {
    std::vector<std::wstring> entries;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* p = current; *p != L'\0'; p += wcslen(p) + 1) {
        entries.emplace_back(p);
    }
    FreeEnvironmentStringsW(current);
    for (const auto& [name, value] : extra) {
        std::erase_if(entries, [&name](const std::wstring& entry) {
            return CompareStringOrdinal(entry.c_str(), static_cast<int>(name.size()), name.c_str(),
                                        static_cast<int>(name.size()), TRUE) == CSTR_EQUAL &&
                   entry.size() > name.size() && entry[name.size()] == L'=';
        });
        entries.push_back(name + L"=" + value);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::wstring WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 10000, &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 10000, &copied);
    text.resize(copied);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring ChildTexts(HWND window) {
    std::wstring texts;
    EnumChildWindows(window, CollectText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

WindowProcess::WindowProcess(const std::wstring& exe, const Environment& extra) {
    std::wstring block = EnvironmentBlock(extra);
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &m_process)) {
        m_process = {};
    }
}

WindowProcess::~WindowProcess() {
    if (m_process.hProcess == nullptr) {
        return;
    }
    if (Running()) {
        TerminateProcess(m_process.hProcess, 99);
        WaitForSingleObject(m_process.hProcess, 10000);
    }
    CloseHandle(m_process.hThread);
    CloseHandle(m_process.hProcess);
}

std::vector<HWND> WindowProcess::Dialogs() const {
    Search search{m_process.dwProcessId, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    std::erase(search.found, m_main);
    return search.found;
}

HWND WindowProcess::Main() {
    if (m_main != nullptr && IsWindow(m_main)) {
        return m_main;
    }
    WaitUntil([this] {
        Search search{m_process.dwProcessId, {}};
        EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
        for (HWND window : search.found) {
            if (WindowText(window) == L"KX Upgrade - Dongle 1.1") {
                m_main = window;
                return true;
            }
        }
        return !Running();
    });
    return m_main;
}

HWND WindowProcess::WaitForDialog(const std::wstring& caption, const std::wstring& className) {
    HWND found = nullptr;
    WaitUntil([&] {
        for (HWND window : Dialogs()) {
            if (ClassOf(window) == className &&
                (caption.empty() || WindowText(window) == caption)) {
                found = window;
                return true;
            }
        }
        return !Running();
    });
    return found;
}

std::wstring WindowProcess::Text(int id) {
    return WindowText(GetDlgItem(Main(), id));
}

bool WindowProcess::Enabled(int id) {
    return IsWindowEnabled(GetDlgItem(Main(), id)) != FALSE;
}

std::pair<unsigned, unsigned> WindowProcess::Progress() {
    HWND bar = GetDlgItem(Main(), 1002);
    DWORD_PTR position = 0;
    DWORD_PTR high = 0;
    SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 10000, &position);
    SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 10000, &high);
    return {static_cast<unsigned>(position), static_cast<unsigned>(high)};
}

void WindowProcess::Click(HWND dialog, int id) {
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

bool WindowProcess::ChooseInChooser(const std::wstring& path) {
    HWND chooser = nullptr;
    WaitUntil([&] {
        for (HWND window : Dialogs()) {
            // The explorer-style chooser's name box is the combo box cmb13 (0x47C).
            if (ClassOf(window) == L"#32770" && GetDlgItem(window, 0x47C) != nullptr) {
                chooser = window;
                return true;
            }
        }
        return !Running();
    });
    if (chooser == nullptr) {
        return false;
    }
    SendMessageTimeoutW(GetDlgItem(chooser, 0x47C), WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 10000, nullptr);
    Click(chooser, IDOK);
    return WaitUntil([&] { return !IsWindow(chooser) || !IsWindowVisible(chooser); });
}

bool WindowProcess::Running() const {
    return m_process.hProcess != nullptr &&
           WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT;
}

long WindowProcess::WaitExit(std::chrono::milliseconds limit) {
    if (WaitForSingleObject(m_process.hProcess, static_cast<DWORD>(limit.count())) !=
        WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process.hProcess, &code);
    return static_cast<long>(code);
}

}  // namespace kx::test
