#include "win32_window.h"

#include "file_chooser.h"
#include "string_table.h"
#include "wide_text.h"
#include "window_chrome.h"

#include "resource_ids.h"
#include "win32_api.h"

namespace kx::win32 {

namespace {

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Win32Window* window = nullptr;
    if (message == WM_INITDIALOG) {
        window = reinterpret_cast<Win32Window*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        window->SetHandle(hwnd);
    } else {
        window = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (window == nullptr) {
        return FALSE;
    }
    std::intptr_t result = 0;
    if (!window->Handle(message, wParam, lParam, result)) {
        return FALSE;
    }
    if (message == WM_INITDIALOG || message == WM_QUERYDRAGICON) {
        return result;
    }
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

bool IsFirmwareFile(const std::wstring& path) {
    const std::size_t dot = path.find_last_of(L".\\/");
    if (dot == std::wstring::npos || path[dot] != L'.' ||
        CompareStringOrdinal(path.c_str() + dot, -1, L".dat", -1, TRUE) != CSTR_EQUAL) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

Win32Window::Win32Window(std::wstring applicationName, const char* driverLibrary)
    : m_appName(std::move(applicationName)), m_profile(FromUtf8(text::kOrganisation), m_appName) {
    m_host.MakeDialog(*this, driverLibrary);
    // A box from a poll thread waits in the host for this thread's message loop.
    m_host.SetBoxes([this](const std::string& text) { ShowMessageBoxNow(text); },
                    [this] {
                        if (const HWND target = m_postTarget.load(); target != nullptr) {
                            PostMessageW(target, kMessageBoxMessage, 0, 0);
                        }
                    });
}

Win32Window::~Win32Window() {
    m_host.Stop();
    for (HICON icon : {m_bigIcon, m_smallIcon}) {
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
    }
}

std::intptr_t Win32Window::Run() {
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN),
                                           nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
    m_host.End(false);  // no window could be made; nothing when the dialog ended itself
    return result;
}

HWND Win32Window::Item(int id) const {
    return GetDlgItem(m_hwnd, id);
}

bool Win32Window::Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                         std::intptr_t& result) {
    switch (message) {
        case WM_INITDIALOG:
            OnInit();
            result = TRUE;  // the focus to the first tab stop: EXIT
            return true;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return true;
        case WM_CLOSE:
            OnCloseRequest();
            return true;
        case WM_TIMER:
            if (wParam == kProgressTimer) {
                OnProgressTimer();
            } else {
                m_host.Dispatch(WindowMessage::Timer, static_cast<TimerId>(wParam));
            }
            return true;
        case kPollMessage:
            m_host.Taken(WindowMessage::PollDevice);
            m_host.Dispatch(WindowMessage::PollDevice);
            return true;
        case kStartTransferMessage:
            m_host.Dispatch(WindowMessage::StartTransfer);
            return true;
        case kFlushMessage:
            FlushLog();
            return true;
        case kMessageBoxMessage:
            m_host.ShowQueuedBoxes();
            return true;
        case WM_SYSCOMMAND:
            if (IsAboutCommand(static_cast<unsigned>(wParam))) {
                RunAboutBox(m_hwnd);
                return true;
            }
            return false;
        case WM_PAINT:
            if (IsIconic(m_hwnd)) {
                PaintMinimizedIcon(m_hwnd, m_bigIcon);
                return true;
            }
            return false;
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<std::intptr_t>(m_bigIcon);
            return true;
        case WM_DROPFILES:
            OnDropFiles(wParam);
            return true;
        case WM_COPYDATA: {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (data == nullptr || data->dwData != kNextFileCopyData) {
                return false;
            }
            result = TakeNextFile(std::wstring(static_cast<const wchar_t*>(data->lpData),
                                               data->cbData / sizeof(wchar_t)))
                         ? TRUE
                         : FALSE;
            return true;
        }
        case WM_DPICHANGED:
            // The system scales the dialog itself; the icons are taken at the new size.
            for (const bool big : {true, false}) {
                HICON& icon = big ? m_bigIcon : m_smallIcon;
                HICON old = icon;
                icon = LoadAppIcon(m_hwnd, big);
                SendMessageW(m_hwnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                             reinterpret_cast<LPARAM>(icon));
                if (old != nullptr) {
                    DestroyIcon(old);
                }
            }
            return false;
        default:
            break;
    }
    if (message == TaskbarProgress::ButtonCreatedMessage()) {
        m_taskbar.Attach(m_hwnd);
        RefreshCues();
        return true;
    }
    return false;
}

void Win32Window::OnInit() {
    m_postTarget = m_hwnd;
    AppendAboutEntry(m_hwnd);
    m_bigIcon = LoadAppIcon(m_hwnd, true);
    m_smallIcon = LoadAppIcon(m_hwnd, false);
    SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon));
    SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
    // The log has no length limit of its own: the control's default of 30,000 characters
    // would cut a long session.
    SendMessageW(Item(IDC_LOG), EM_SETLIMITTEXT, 0, 0);
    DragAcceptFiles(m_hwnd, TRUE);
    m_taskbar.Attach(m_hwnd);
    CentreOver(m_hwnd, nullptr);
    StepAsideFromTwins(m_hwnd);
    m_host.Start();
}

void Win32Window::OnCommand(unsigned id) {
    if (id == IDOK) {
        // Enter reaches here only through an enabled EXIT; a click on a disabled one never.
        if (IsWindowEnabled(Item(IDOK))) {
            Finish(IDOK);
        }
    } else if (id == IDCANCEL && MayQuit()) {
        Finish(IDCANCEL);
    }
}

// The close box, the system menu's Close and Alt+F4: asked before the device is let go.
void Win32Window::OnCloseRequest() {
    if (!MayQuit()) {
        return;
    }
    m_host.CloseBox();
    Finish(IDCANCEL);
}

bool Win32Window::MayQuit() {
    return m_host.MayQuit([this] { return AskQuit(m_hwnd, m_appName); });
}

void Win32Window::Finish(int result) {
    if (m_host.End(result == IDOK)) {
        KillTimer(m_hwnd, kProgressTimer);
        KillTimer(m_hwnd, static_cast<UINT_PTR>(TimerId::Reconnect));
        m_postTarget = nullptr;
        m_taskbar.Show(CueState::None, 0, 0);
    }
    m_endResult = result;
    ::EndDialog(m_hwnd, result);
}

void Win32Window::OnDropFiles(std::uintptr_t dropHandle) {
    HDROP drop = reinterpret_cast<HDROP>(dropHandle);
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 1) {
        const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        DragQueryFileW(drop, 0, path.data(), length + 1);
        path.resize(length);
        TakeNextFile(path);
    }
    DragFinish(drop);
}

bool Win32Window::TakeNextFile(const std::wstring& path) {
    if (!IsFirmwareFile(path)) {
        return false;
    }
    m_droppedFile = path;
    m_host.Session().Note("file dropped for the next announcement: " + ToUtf8(path));
    RefreshTransferLine();
    return true;
}

// ---- WindowSurface ----

void Win32Window::PullTexts(std::string& connection, std::string& log, std::string& transfer) {
    m_host.PullTexts(connection, log, transfer);
}

void Win32Window::PushTexts(std::string_view connection, const LogUpdate& log,
                            std::string_view transfer) {
    const FrontEndHost::TextsPushed pushed = m_host.PushTexts(connection, log, transfer);
    if (pushed.connection) {
        SetDlgItemTextW(m_hwnd, IDC_CONNECTION_TEXT, FromLatin1(connection).c_str());
    }
    RefreshTransferLine();
    RefreshCues();
    if (log.replace) {
        m_logPending.clear();
        m_logReplacePending = true;
        QueueLogFlush();
    } else if (!log.text.empty()) {
        m_logPending.append(log.text);
        QueueLogFlush();
    }
}

// The edit control takes what was pushed since it last drew in one piece, once per turn of
// the message loop: one EM_REPLACESEL costs the same for one byte or a thousand.
void Win32Window::QueueLogFlush() {
    if (m_logFlushQueued) {
        return;
    }
    m_logFlushQueued = true;
    PostMessageW(m_hwnd, kFlushMessage, 0, 0);
}

void Win32Window::FlushLog() {
    if (!m_logFlushQueued) {
        return;
    }
    m_logFlushQueued = false;
    HWND edit = Item(IDC_LOG);
    if (m_logReplacePending) {
        SetWindowTextW(edit, LogForEdit(m_host.Log()).c_str());
    } else if (!m_logPending.empty()) {
        const int end = GetWindowTextLengthW(edit);
        SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
        SendMessageW(edit, EM_REPLACESEL, FALSE,
                     reinterpret_cast<LPARAM>(LogForEdit(m_logPending).c_str()));
    }
    m_logReplacePending = false;
    m_logPending.clear();
    if (m_logScrollPending) {
        m_logScrollPending = false;
        ScrollLogToEnd();
    }
}

void Win32Window::ScrollLogToEnd() {
    if (m_logFlushQueued) {
        m_logScrollPending = true;  // once the text is in the control
        return;
    }
    HWND edit = Item(IDC_LOG);
    const int end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

void Win32Window::InvalidateLog() {
    if (!m_logFlushQueued) {
        InvalidateRect(Item(IDC_LOG), nullptr, TRUE);
    }
}

void Win32Window::RepaintNow() {
    UpdateWindow(m_hwnd);
}

void Win32Window::EnableExit(bool enable) {
    HWND exit = Item(IDOK);
    HWND log = Item(IDC_LOG);
    const bool wasEnabled = IsWindowEnabled(exit) != FALSE;
    if (!enable && GetFocus() == exit) {
        // A disabled control keeps no keyboard focus: the log takes it meanwhile.
        SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(log), TRUE);
    }
    EnableWindow(exit, enable ? TRUE : FALSE);
    // EXIT enabled again takes back the focus the log (or nothing) holds, so that Enter
    // ends the program after a transfer as before it; not in a window that is not in front.
    const HWND focus = GetFocus();
    if (enable && !wasEnabled && GetActiveWindow() == m_hwnd &&
        (focus == log || focus == nullptr)) {
        SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(exit), TRUE);
    }
}

void Win32Window::ShowMessageBoxNow(const std::string& text) {
    const HWND owner = m_hwnd != nullptr && IsWindowVisible(m_hwnd) ? m_hwnd : nullptr;
    MessageBoxW(owner, FromUtf8(text).c_str(), m_appName.c_str(), MB_OK);
}

void Win32Window::ShowMessageBox(const std::string& text) {
    m_host.ShowBox(text);
}

void Win32Window::PostToWindow(WindowMessage message) {
    if (!m_host.Admit(message)) {
        return;
    }
    UINT posted = static_cast<UINT>(message);
    if (message == WindowMessage::PollDevice) {
        posted = kPollMessage;
    } else if (message == WindowMessage::StartTransfer) {
        posted = kStartTransferMessage;
    }
    const HWND target = m_postTarget.load();
    if (target == nullptr || !PostMessageW(target, posted, 0, 0)) {
        m_host.Taken(message);  // not queued: the next poll may be
    }
}

void Win32Window::StartTimer(TimerId id, UINT periodMs) {
    ::SetTimer(m_hwnd, static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void Win32Window::EndModal(DialogResult result) {
    Finish(static_cast<int>(result));
}

std::optional<std::string> Win32Window::ChooseFile(const FileChooserRequest& request) {
    // A file dropped on the window beforehand is the user's choice for this announcement.
    if (!m_droppedFile.empty()) {
        const std::string dropped = ToUtf8(m_droppedFile);
        m_droppedFile.clear();
        m_host.Session().Note("dropped file taken: " + dropped);
        RefreshTransferLine();
        return dropped;
    }
    return ChooseFileModal(m_hwnd, request);
}

void Win32Window::TransferRestarted(unsigned /*restart*/, unsigned /*limit*/) {
    m_host.TransferRestarted(FrontEndHost::Clock::now());
}

void Win32Window::FileAccepted(const std::string& path, std::span<const std::uint8_t> image) {
    m_host.FileChosen(path, image);
}

std::string Win32Window::ReadProfileText(const std::string& section, const std::string& entry,
                                         const std::string& defaultValue) {
    return m_profile.Get(section, entry, defaultValue);
}

bool Win32Window::WriteProfileText(const std::string& section, const std::string& entry,
                                   const std::string& value) {
    return m_profile.Write(section, entry, value);
}

}  // namespace kx::win32
