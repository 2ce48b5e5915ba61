// What the upgrade logic needs of a window: the three text controls, the log control,
// the EXIT button, the progress bar, message boxes, posted messages, the reconnect timer,
// the file chooser and the profile store. The Qt window, the console front end and the
// tests each implement it; the logic knows no toolkit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

using UINT = unsigned int;

inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_POLL_DEVICE = WM_USER + 1;
inline constexpr UINT WM_START_TRANSFER = WM_USER + 2;

inline constexpr UINT RECONNECT_TIMER = 15;
inline constexpr UINT kReconnectPeriodMs = 100;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Open-file chooser flags, with the common dialog's values.
inline constexpr unsigned OFN_HIDEREADONLY = 0x0004;
inline constexpr unsigned OFN_FILEMUSTEXIST = 0x1000;

struct FileChooserRequest {
    bool openMode = true;          // open, not save
    std::string defaultExtension;  // without the dot
    std::string initialName;
    unsigned flags = 0;
    std::string filter;  // "Name|pattern|" pairs
    std::string initialFolder;
};

// How the log control's text changes on a push: replaced whole, or grown at its end.
struct LogUpdate {
    bool replace = false;
    std::string_view text;
};

class WindowSurface {
  public:
    virtual ~WindowSurface() = default;

    // Data exchange with the text controls: pull them into the members, push the
    // members to them. The log is pushed as a change so that growing it costs only
    // the bytes added.
    virtual void PullTexts(std::string& connection, std::string& log, std::string& transfer) = 0;
    virtual void PushTexts(std::string_view connection, const LogUpdate& log,
                           std::string_view transfer) = 0;

    // Caret to the end of the log control's text and scrolled into view.
    virtual void ScrollLogToEnd() = 0;
    // Invalidate the log control, erasing its background.
    virtual void InvalidateLog() = 0;
    // Repaint the window at once.
    virtual void RepaintNow() = 0;
    virtual void EnableExit(bool enable) = 0;
    virtual void SetProgressRange(std::uint32_t maximum) = 0;
    virtual void SetProgressPos(std::uint32_t position) = 0;

    // An OK-only box titled with the application's name. May be called from any thread.
    virtual void MessageBox(const std::string& text) = 0;
    // Posts a message to the main window's queue. Safe from any thread.
    virtual void PostToWindow(UINT message) = 0;
    virtual void SetTimer(UINT id, UINT periodMs) = 0;
    // Ends the dialog (modal loop) with `result`.
    virtual void EndDialog(int result) = 0;

    // The modal open-file chooser; nullopt when cancelled. Posted messages keep being
    // dispatched while it is open.
    virtual std::optional<std::string> ChooseFile(const FileChooserRequest& request) = 0;

    // The transfer started over from its first record because the device restarted (the
    // `restart`-th time, of at most `limit`), or went on where it was after the device came
    // back without restarting. The log says so too; front ends that report events hook these.
    virtual void TransferRestarted(unsigned /*restart*/, unsigned /*limit*/) {}
    virtual void TransferResumed() {}
    // The dongle opened after a loss has another serial number than the one the transfer
    // was writing: the one that left keeps what it had, and the transfer starts again from
    // the first record on the new one (kx::OpenedDongle() names it). Called before the
    // connection line changes.
    virtual void DongleReplaced() {}

    // The per-user profile store, sections and entries as the application names them.
    virtual std::string GetProfileString(const std::string& section, const std::string& entry,
                                         const std::string& defaultValue) = 0;
    virtual bool WriteProfileString(const std::string& section, const std::string& entry,
                                    const std::string& value) = 0;
};

}  // namespace kx
