// The progress bar, the transfer line and the cues outside the window.
#include <climits>

#include "host/progress_figures.h"
#include "string_table.h"
#include "wide_text.h"
#include "win32_window.h"

#include "resource_ids.h"
#include "win32_api.h"

namespace kx::win32 {

namespace {

std::wstring FileNameOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

void Win32Window::SetProgressRange(std::uint32_t maximum) {
    m_progressMaximum = maximum;
    m_progressShift = 0;
    while ((maximum >> m_progressShift) > static_cast<std::uint32_t>(INT_MAX)) {
        ++m_progressShift;
    }
    m_progressPosition = 0;
    m_host.ProgressRanged(maximum, FrontEndHost::Clock::now());
    SendMessageW(Item(IDC_PROGRESS), PBM_SETRANGE32, 0,
                 static_cast<LPARAM>(maximum >> m_progressShift));
    DrawProgress();
}

void Win32Window::SetProgressPos(std::uint32_t position) {
    m_host.ProgressMoved(position, FrontEndHost::Clock::now());
    m_progressPosition = position;
    if (position >= m_progressMaximum || position == 0 ||
        GetTickCount64() - m_progressDrawnMs >= kRedrawMs) {
        DrawProgress();
    }
    // Otherwise the redraw timer, which runs while a transfer does, shows it.
}

void Win32Window::OnProgressTimer() {
    if (!Dialog().Transferring()) {
        KillTimer(m_hwnd, kProgressTimer);
        m_progressTimerArmed = false;
    }
    DrawProgress();
}

void Win32Window::DrawProgress() {
    m_progressDrawnMs = GetTickCount64();
    const std::uint32_t shown = m_progressPosition >> m_progressShift;
    if (shown != m_progressDrawn || m_progressPosition == 0) {
        m_progressDrawn = shown;
        SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, shown, 0);
    }
    RefreshTransferLine();
    RefreshCues();
}

std::wstring Win32Window::TransferLine() const {
    std::wstring line = FromLatin1(m_host.Transfer());
    if (Dialog().Outcome().state == TransferState::Aborted && !Dialog().LastAbortReason().empty()) {
        line += FromUtf8(text::kAbortReasonSeparator) + FromLatin1(Dialog().LastAbortReason());
    }
    if (Dialog().Transferring() && m_progressMaximum > 0) {
        line += L"    " + FromUtf8(m_host.Summary(Dialog().Held(), FrontEndHost::Clock::now()));
    }
    if (!m_droppedFile.empty()) {
        if (!line.empty()) {
            line += L"    ";
        }
        line += FromUtf8(text::kNextFilePrefix) + FileNameOf(m_droppedFile);
    }
    return line;
}

void Win32Window::RefreshTransferLine() {
    const std::wstring line = TransferLine();
    if (line != m_shownTransferLine) {
        m_shownTransferLine = line;
        SetDlgItemTextW(m_hwnd, IDC_TRANSFER_TEXT, line.c_str());
        m_host.Session().Transfer(ToUtf8(line));
    }
}

// The bar's state and the taskbar button follow the transfer: running, held while the
// dongle is away, failed; and the end is cued when the window is not in front.
void Win32Window::RefreshCues() {
    CueState state = CueState::None;
    if (Dialog().Transferring()) {
        state = Dialog().Held() ? CueState::Paused : CueState::Normal;
        if (!m_progressTimerArmed && m_hwnd != nullptr) {
            m_progressTimerArmed = ::SetTimer(m_hwnd, kProgressTimer, kRedrawMs, nullptr) != 0;
        }
    } else if (Dialog().Outcome().state == TransferState::Aborted) {
        state = CueState::Error;
    }
    const bool wasRunning = m_cue == CueState::Normal || m_cue == CueState::Paused;
    const bool running = state == CueState::Normal || state == CueState::Paused;
    if (state != m_cue) {
        ShowBarState(Item(IDC_PROGRESS), state);
        if (wasRunning && !running) {
            CueTransferEnd(m_hwnd, Dialog().Outcome().state == TransferState::Completed);
        }
        m_cue = state;
    }
    m_taskbar.Show(state, m_progressPosition, m_progressMaximum);
}

}  // namespace kx::win32
