// What the upgrade logic needs of a window: the three text controls, the log control,
// the EXIT button, the progress bar, message boxes, posted messages, the reconnect timer,
// the file chooser and the profile store. The Qt window, the console front end and the
// tests each implement it; the logic knows no toolkit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kx {

using UINT = unsigned int;

// The messages the dialog handles, with the values a Win32 window would give them. Names
// of their own, so that <windows.h>'s macros leave them alone.
enum class WindowMessage : UINT {
    Close = 0x0010,
    Timer = 0x0113,
    PollDevice = 0x0400 + 1,
    StartTransfer = 0x0400 + 2,
};

// How a modal dialog ended.
enum class DialogResult : int { Ok = 1, Cancel = 2 };

enum class TimerId : UINT { Reconnect = 15 };
inline constexpr UINT kReconnectPeriodMs = 100;

// Open-file chooser flags, with the common dialog's values.
enum class ChooserFlags : unsigned {
    None = 0,
    HideReadOnly = 0x0004,
    FileMustExist = 0x1000,
};
constexpr ChooserFlags operator|(ChooserFlags a, ChooserFlags b) {
    return static_cast<ChooserFlags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool HasFlag(ChooserFlags flags, ChooserFlags flag) {
    return (static_cast<unsigned>(flags) & static_cast<unsigned>(flag)) != 0;
}

struct FileChooserRequest {
    bool openMode = true;          // open, not save
    std::string defaultExtension;  // without the dot
    std::string initialName;
    ChooserFlags flags = ChooserFlags::None;
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
    virtual void ShowMessageBox(const std::string& text) = 0;
    // Posts a message to the main window's queue. Safe from any thread.
    virtual void PostToWindow(WindowMessage message) = 0;
    // Arms a timer whose ticks arrive as WindowMessage::Timer.
    virtual void StartTimer(TimerId id, UINT periodMs) = 0;
    // Ends the dialog (modal loop) with `result`.
    virtual void EndModal(DialogResult result) = 0;

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
    // The chosen file passed its check and is about to be sent: `image` is what goes out.
    virtual void FileAccepted(const std::string& /*path*/,
                              std::span<const std::uint8_t> /*image*/) {}

    // The per-user profile store, sections and entries as the application names them.
    virtual std::string ReadProfileText(const std::string& section, const std::string& entry,
                                        const std::string& defaultValue) = 0;
    virtual bool WriteProfileText(const std::string& section, const std::string& entry,
                                  const std::string& value) = 0;
};

}  // namespace kx
