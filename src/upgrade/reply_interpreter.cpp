// One poll pass: drain the device's bytes, match its announcement or follow its replies,
// and keep the first stage flowing while the transmit queue runs low. A transfer whose
// device was lost is held after the reconnection until the device shows whether it
// restarted (it announces itself: the transfer starts over) or not (it asks for a packet,
// or stays silent: the transfer goes on).
#include <algorithm>
#include <cstdio>

#include "announce_matcher.h"
#include "app/upgrade_dlg.h"
#include "device/driver_binding.h"
#include "device/link_profile.h"
#include "reply_table.h"
#include "string_table.h"

namespace kx {

namespace {

// First-stage packets go out whenever fewer bytes than this wait in the transmit queue.
constexpr DWORD kPacingThreshold = 16;
// A driver that keeps reporting bytes it will not deliver is treated as gone.
constexpr unsigned kMaxFailedReads = 64;

}  // namespace

long CUpgradeDlg::OnPollDevice(UINT /*wParam*/, long /*lParam*/) {
    bool updated = false;
    if (!g_polling) {
        return 0;
    }
    if (!g_connected) {
        ConnectDevice();
        EnableExit(true);
        return 0;
    }
    DWORD rx = 0;
    DWORD tx = 0;
    DWORD events = 0;
    if (DrvGetStatus(&rx, &tx, &events) != FT_OK) {
        LoseDevice();
        rx = 0;
    }
    unsigned failedReads = 0;
    while (rx != 0) {
        std::uint8_t b = 0;
        DWORD got = 0;
        const FT_STATUS status = DrvRead(&b, 1, &got);
        // Status 4 with a byte still delivers it; status 0 with no byte has nothing to give.
        if ((status == FT_OK || status == FT_IO_ERROR) && got != 0) {
            failedReads = 0;
            bool changed = false;
            if (!m_transferring) {
                changed = MatchAnnouncement(b);
            } else {
                m_lastProgress = m_clock->Now();
                changed = m_lostSinceAnnounce ? HeldByte(b) : InterpretReply(b);
            }
            if (changed || updated) {
                RefreshLog();
                updated = true;
            }
        } else if (++failedReads == kMaxFailedReads) {
            LoseDevice();
            break;
        }
        if (DrvGetStatus(&rx, &tx, &events) != FT_OK) {
            LoseDevice();
            break;
        }
    }
    CheckQuietDevice();
    if (m_firstStage && tx < kPacingThreshold && m_transferring) {
        SendNextPacket(false);
    }
    UpdatePacing();
    return 0;
}

// A byte from the device while the transfer is held.
bool CUpgradeDlg::HeldByte(std::uint8_t b) {
    m_lastReceived = m_clock->Now();
    switch (ClassifyReply(b)) {
        case ReplyAction::Next:
        case ReplyAction::Repeat:
            // It asks for a packet: it kept what it was sent.
            ResumeTransfer(true);
            InterpretReply(b);
            return true;  // the log says RESUME
        case ReplyAction::Error:
        case ReplyAction::IdMismatch:
            return InterpretReply(b);
        case ReplyAction::Echo:
        case ReplyAction::Ignore:
            break;
    }
    // Echoed as always, and watched for the announcement of a restarted bootloader.
    const bool changed = InterpretReply(b);
    std::string name;
    if (FeedAnnouncement(m_matchState, m_matchIndex, name, b).requestTransfer) {
        RestartTransfer();
        return true;
    }
    return changed;
}

// A held transfer whose device has been connected and silent long enough is not
// being announced to: the device did not restart.
void CUpgradeDlg::CheckQuietDevice() {
    if (!Held() || !g_connected) {
        return;
    }
    const HostClock::TimePoint since = std::max(m_connectedAt, m_lastReceived);
    if (m_clock->Now() - since >= kQuietBeforeResume) {
        ResumeTransfer(false);
        RefreshLog();
    }
}

// The device restarted its bootloader: what it was sent is gone. The same file goes
// again from its first record, at most kRestartLimit times.
void CUpgradeDlg::RestartTransfer() {
    m_lostSinceAnnounce = false;
    const bool sentSomething = m_bytesSent != 0 || m_reachedEnd || !m_firstStage;
    if (!sentSomething) {
        SendNextPacket(false);  // nothing was lost: this is the start
        return;
    }
    if (m_restarts == kRestartLimit) {
        char reason[96];
        std::snprintf(reason, sizeof reason, text::kRestartLimitFormat, kRestartLimit);
        AbortTransfer(reason);
        return;
    }
    ++m_restarts;
    char line[48];
    std::snprintf(line, sizeof line, text::kRestartFormat, m_restarts, kRestartLimit);
    m_strLog.Append(line);
    m_strLog.Append("\r\n");
    m_firstStage = true;
    m_lastWasSwitch = false;
    m_reachedEnd = false;
    m_switchPending = false;
    m_file.SeekToBegin();
    m_builder.Restart();
    m_bytesSent = 0;
    m_progress.SetPos(0);
    EnableExit(false);
    m_window.TransferRestarted(m_restarts, kRestartLimit);
    SendNextPacket(false);
}

// The device came back without restarting: the transfer goes on where it was. In the
// second stage the link goes back to the bulk profile the device still uses and, unless
// the device asked for a packet, the host answers as to a repeat request: the last packet
// again (it may not have arrived whole; a device takes a packet it already has again),
// or the next one right after the switch record, whose erase reply may have been lost.
void CUpgradeDlg::ResumeTransfer(bool byReply) {
    m_lostSinceAnnounce = false;
    ++m_resumes;
    m_strLog.Append(text::kResume);
    m_strLog.Append("\r\n");
    EnableExit(false);
    m_window.TransferResumed();
    if (m_reachedEnd) {
        CompleteTransfer();
        return;
    }
    if (m_firstStage) {
        return;  // the pacing rule goes on
    }
    if (m_switchPending) {
        // The switch record goes again on the command link, and the link moves on as
        // after it.
        m_switchPending = false;
        DWORD written = 0;
        DrvWrite(m_packet, m_packetLen, &written);
        m_writtenSinceDrain += written;
        if (!WaitTransmitDrained()) {
            m_switchPending = true;
            return;
        }
        ApplyLinkProfile(kBulkProfile);
        m_link = kBulkProfile;
        return;
    }
    ApplyLinkProfile(kBulkProfile);
    m_link = kBulkProfile;
    if (!byReply) {
        SendNextPacket(true);
    }
}

bool CUpgradeDlg::InterpretReply(std::uint8_t b) {
    switch (ClassifyReply(b)) {
        case ReplyAction::Next:
            SendNextPacket(false);
            return false;
        case ReplyAction::Repeat:
            m_strLog.Append(text::kRepeat);
            m_strLog.Append("\r\n");
            SendNextPacket(true);
            return true;
        case ReplyAction::Error:
            AbortTransfer(text::kDeviceError);
            return true;
        case ReplyAction::IdMismatch:
            AbortTransfer(text::kIdMismatch);
            return true;
        case ReplyAction::Echo:
            m_strLog.Append(static_cast<char>(b));
            return true;
        case ReplyAction::Ignore:
            break;
    }
    return false;
}

bool CUpgradeDlg::MatchAnnouncement(std::uint8_t b) {
    const MatchStep step = FeedAnnouncement(m_matchState, m_matchIndex, g_deviceName, b);
    if (step.progressToZero) {
        m_progress.SetPos(0);
    }
    switch (step.log) {
        case MatchLog::Unchanged:
            break;
        case MatchLog::Cleared:
            m_strLog.Clear();
            break;
        case MatchLog::NameAppended:
            m_strLog.Append(g_deviceName);
            m_strLog.Append("\r\n");
            break;
    }
    if (step.requestTransfer) {
        m_lostSinceAnnounce = false;
        m_window.PostToWindow(WM_START_TRANSFER);
    }
    return step.log != MatchLog::Unchanged;
}

void CUpgradeDlg::AbortTransfer(std::string_view text) {
    m_transferring = false;
    m_firstStage = true;
    m_lastAbortReason = text;
    m_reachedEnd = false;
    m_switchPending = false;
    ShowTransfer(text::kAborted);
    m_strLog.Append(text);
    m_strLog.Append("\r\n");
    // In the control before the drain, which pulls the texts back if the device is gone.
    UpdateData(false);
    WaitTransmitDrained();
    DrvSetBaudRate(kCommandBaudRate);
    m_link.baudRate = kCommandBaudRate;
    m_link.divisor = 0;
    DrvPurge(FT_PURGE_RX);
    m_file.Close();
    EnableExit(true);
    ScrollLogToEnd();
}

}  // namespace kx

namespace kx {

void CUpgradeDlg::EndTransfer(std::string_view reason) {
    if (m_transferring) {
        AbortTransfer(reason);
        RefreshLog();
    }
}

}  // namespace kx
