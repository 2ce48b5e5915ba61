// The main window on Windows: the dialog template IDD_MAIN run modally by the system's
// dialog manager, and the window surface through which the upgrade logic drives it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "dialog/upgrade_dlg.h"
#include "dialog/window_surface.h"
#include "host/front_end_host.h"
#include "registry_profile.h"
#include "transfer_cues.h"
#include "window_messages.h"

struct HWND__;
struct HICON__;

namespace kx::win32 {

// The bar and the figures beside it are redrawn at most this often while a transfer runs:
// moving them on every poll pass would starve the timers of the message loop.
inline constexpr std::uintptr_t kProgressTimer = 0x4B58;
inline constexpr unsigned kRedrawMs = 100;

class Win32Window final : public WindowSurface {
  public:
    explicit Win32Window(std::wstring applicationName,
                         const char* driverLibrary = platform::kDriverLibraryName);
    ~Win32Window() override;
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    // Runs the dialog modally; returns its result.
    std::intptr_t Run();

    // WindowSurface
    void PullTexts(std::string& connection, std::string& log, std::string& transfer) override;
    void PushTexts(std::string_view connection, const LogUpdate& log,
                   std::string_view transfer) override;
    void ScrollLogToEnd() override;
    void InvalidateLog() override;
    void RepaintNow() override;
    void EnableExit(bool enable) override;
    void SetProgressRange(std::uint32_t maximum) override;
    void SetProgressPos(std::uint32_t position) override;
    void ShowMessageBox(const std::string& text) override;
    void PostToWindow(WindowMessage message) override;
    void StartTimer(TimerId id, UINT periodMs) override;
    void EndModal(DialogResult result) override;
    std::optional<std::string> ChooseFile(const FileChooserRequest& request) override;
    std::string ReadProfileText(const std::string& section, const std::string& entry,
                                const std::string& defaultValue) override;
    bool WriteProfileText(const std::string& section, const std::string& entry,
                          const std::string& value) override;
    void TransferRestarted(unsigned restart, unsigned limit) override;
    void FileAccepted(const std::string& path, std::span<const std::uint8_t> image) override;

    // The dialog procedure's work; false leaves the message to the dialog manager.
    bool Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                std::intptr_t& result);
    void SetHandle(HWND__* window) { m_hwnd = window; }

  private:
    void OnInit();
    void OnCommand(unsigned id);
    void OnCloseRequest();
    void OnDropFiles(std::uintptr_t drop);
    // A firmware file for the next announcement: dropped, or handed over by WM_COPYDATA.
    bool TakeNextFile(const std::wstring& path);
    void OnProgressTimer();
    void Finish(int result);
    bool MayQuit();
    HWND__* Item(int id) const;
    CUpgradeDlg& Dialog() { return *m_host.Dialog(); }
    const CUpgradeDlg& Dialog() const { return *m_host.Dialog(); }

    void QueueLogFlush();
    void FlushLog();
    void ShowMessageBoxNow(const std::string& text);
    void DrawProgress();
    // The transfer line as shown: the logic's text, the reason of the last abort, percent,
    // rate and time left while a transfer runs, and the file dropped for the next
    // announcement.
    std::wstring TransferLine() const;
    void RefreshTransferLine();
    void RefreshCues();

    std::wstring m_appName;
    HWND__* m_hwnd = nullptr;
    std::atomic<HWND__*> m_postTarget{nullptr};
    HICON__* m_bigIcon = nullptr;
    HICON__* m_smallIcon = nullptr;
    RegistryProfile m_profile;
    TaskbarProgress m_taskbar;
    // The duties every front end shares: the dialog and the order of its start-up, close
    // and end, posted polls coalesced, boxes from other threads, the three texts, the
    // progress figures and their clock, the quit question, the session log.
    FrontEndHost m_host;

    std::string m_logPending;
    bool m_logReplacePending = false;
    bool m_logScrollPending = false;
    bool m_logFlushQueued = false;

    std::uint32_t m_progressMaximum = 0;
    std::uint32_t m_progressPosition = 0;
    std::uint32_t m_progressDrawn = 0;
    unsigned m_progressShift = 0;  // the bar counts in int: larger files in coarser steps
    bool m_progressTimerArmed = false;
    std::uint64_t m_progressDrawnMs = 0;
    std::wstring m_shownTransferLine;
    CueState m_cue = CueState::None;

    std::wstring m_droppedFile;
    int m_endResult = 0;
};

}  // namespace kx::win32
