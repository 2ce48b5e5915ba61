#include "upgrade_dlg.h"

#include "device/driver_binding.h"
#include "string_table.h"

namespace kx {

CUpgradeDlg::CUpgradeDlg(WindowSurface& window, const char* driverLibrary)
    : m_window(window), m_driverLibrary(driverLibrary), m_editLog(window), m_progress(window) {
    SetDriverMessageBox([&window](const std::string& text) { window.ShowMessageBox(text); });
}

CUpgradeDlg::~CUpgradeDlg() {
    m_pollThreads.StopAll();
    SetDriverMessageBox(nullptr);
}

void CUpgradeDlg::OnMessage(WindowMessage message, TimerId timer) {
    switch (message) {
        case WindowMessage::Timer:
            OnTimer(timer);
            break;
        case WindowMessage::Close:
            OnClose();
            break;
        case WindowMessage::PollDevice:
            OnPollDevice(0, 0);
            break;
        case WindowMessage::StartTransfer:
            OnStartTransfer(0, 0);
            break;
    }
}

bool CUpgradeDlg::OnInitDialog() {
    UpdateData(false);
    g_polling = false;
    g_pacing = false;
    g_connected = 0;
    m_firstStage = true;
    m_matchIndex = 0;
    m_matchState = 0;
    m_transferring = false;
    m_lastWasSwitch = false;
    UpdateData(true);
    LoadDriver();
    if (!g_driverLoaded) {
        m_window.EndModal(DialogResult::Cancel);
    } else {
        m_window.StartTimer(TimerId::Reconnect, kReconnectPeriodMs);
    }
    ShowTransfer("");
    ScrollLogToEnd();
    return true;
}

// The poll threads are stopped and joined before the device closes.
void CUpgradeDlg::OnEndDialog() {
    m_pollThreads.StopAll();
    if (DeviceIsOpen()) {
        RestoreLatencyTimer();
        DrvClose();
    }
}

void CUpgradeDlg::LoadDriver() {
    BindDriver(m_driverLibrary, m_hDriver,
               [this](const std::string& text) { m_window.ShowMessageBox(text); });
}

void CUpgradeDlg::UpdateData(bool saveAndValidate) {
    if (saveAndValidate) {
        // Pulled into the buffer the text before the last pull left: no allocation for
        // a log that does not outgrow it.
        m_window.PullTexts(m_strConnection, m_pulledLog, m_strTransfer);
        m_strLog.AssignFromControl(m_pulledLog);
    } else {
        m_window.PushTexts(m_strConnection, m_strLog.TakeUpdate(), m_strTransfer);
    }
}

void CUpgradeDlg::ShowConnection(std::string_view text) {
    UpdateData(true);
    m_strConnection = text;
    UpdateData(false);
}

void CUpgradeDlg::ShowTransfer(std::string_view text) {
    UpdateData(true);
    m_strTransfer = text;
    UpdateData(false);
}

void CUpgradeDlg::ScrollLogToEnd() {
    m_editLog.ScrollToEnd();
}

void CUpgradeDlg::RefreshLog() {
    m_editLog.Invalidate();
    UpdateData(false);
    m_editLog.Invalidate();
    ScrollLogToEnd();
}

void CUpgradeDlg::EnableExit(bool enable) {
    m_window.EnableExit(enable);
}

}  // namespace kx
