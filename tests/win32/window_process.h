// KXUpgradeDongle.exe as a separate process, driven the way a user would through its
// controls: found by its process and caption, read with WM_GETTEXT and the progress bar's
// messages, pressed with posted BM_CLICKs (a sent click that closes a modal dialog loses a
// posted message under Wine).
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kx::test {

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// Waits until `done` holds, looking every 20 ms, at most `limit`. Returns whether it held.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

std::wstring WindowText(HWND window);
std::wstring ClassOf(HWND window);
// The texts of every child of `window`, one after the other.
std::wstring ChildTexts(HWND window);

class WindowProcess {
  public:
    // Starts `exe` with the current environment plus `extra`.
    WindowProcess(const std::wstring& exe, const Environment& extra);
    ~WindowProcess();
    WindowProcess(const WindowProcess&) = delete;
    WindowProcess& operator=(const WindowProcess&) = delete;

    bool Started() const { return m_process.hProcess != nullptr; }
    // The main window, once it is visible; null when it did not show.
    HWND Main();
    // A visible top-level window of the process other than the main one whose class and
    // caption match (an empty caption matches any); null when none shows.
    HWND WaitForDialog(const std::wstring& caption, const std::wstring& className = L"#32770");
    // The visible top-level windows of the process other than the main one.
    std::vector<HWND> Dialogs() const;

    std::wstring Text(int id);
    bool Enabled(int id);
    // The progress bar's position and upper bound.
    std::pair<unsigned, unsigned> Progress();
    // Posts a click on control `id` of `dialog`.
    static void Click(HWND dialog, int id);
    // Waits for an owned file chooser and picks `path` in it by its name box.
    bool ChooseInChooser(const std::wstring& path);

    bool Running() const;
    // The exit code once it has ended within `limit`; -1 otherwise.
    long WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(60));

  private:
    PROCESS_INFORMATION m_process{};
    HWND m_main = nullptr;
};

}  // namespace kx::test
