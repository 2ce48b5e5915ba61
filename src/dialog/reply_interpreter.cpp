// One poll pass: drain the device's bytes, match its announcement or follow its replies,
// and keep the first stage flowing while the transmit queue runs low. A transfer whose
// device was lost is held after the reconnection until the device has shown whether it
// restarted (device_recovery.cpp).
#include <cstdio>

#include "announce_matcher.h"
#include "device/driver_binding.h"
#include "device/link_profile.h"
#include "dialog/upgrade_dlg.h"
#include "reply_table.h"
#include "string_table.h"

namespace kx {

namespace {

// First-stage packets go out whenever fewer bytes than this wait in the transmit queue.
constexpr DWORD kPacingThreshold = 16;
// A driver that keeps reporting bytes it will not deliver is treated as gone.
constexpr unsigned kMaxFailedReads = 64;
// The most bytes read before the link switch: far more than a refusal and its text.
constexpr unsigned kMostBytesBeforeSwitch = 4096;

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
                // Noise is no progress: it would hold off the wait for the reply, and
                // with it the probe that finds a dongle which started over, for ever.
                if (AnswersPacket(ClassifyReply(b))) {
                    m_lastProgress = m_clock->Now();
                }
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
    CheckHeldDevice();
    if (m_firstStage && tx < kPacingThreshold && m_transferring) {
        SendNextPacket(false);
    }
    UpdatePacing();
    return 0;
}

bool CUpgradeDlg::InterpretReply(std::uint8_t b) {
    switch (ClassifyReply(b)) {
        case ReplyAction::Next:
            m_resumedCutRecord = false;
            SendNextPacket(false);
            return false;
        case ReplyAction::Repeat:
            m_resumedCutRecord = false;
            m_strLog.Append(text::kRepeat);
            m_strLog.Append("\r\n");
            SendNextPacket(true);
            return true;
        case ReplyAction::Error:
            if (m_resumedCutRecord) {
                HoldRefusedResume();
                return true;
            }
            AbortTransfer(AbortCause::DeviceError, text::kDeviceError);
            return true;
        case ReplyAction::IdMismatch:
            AbortTransfer(AbortCause::IdMismatch, text::kIdMismatch);
            return true;
        case ReplyAction::Echo:
            m_strLog.Append(static_cast<char>(b));
            return true;
        case ReplyAction::Ignore:
            break;
    }
    return false;
}

// A command-stage dongle answers a refused record at once (0xD5 for another device's header,
// 0xC8 for a damaged record) and once more after the switch record. The switch's reset and
// purge throw away the first answer, and a host that gets the processor back late after
// the switch record purges the second too: the transfer would then wait for an erase that
// never comes. So the first is read before the link moves, once the chip's latency timer
// has let through what the dongle said about the last record. Acknowledged records (0xA9)
// ask for nothing here: the next packet goes after the switch.
bool CUpgradeDlg::TakeCommandStageRefusal() {
    m_clock->Sleep(std::chrono::milliseconds(m_chipLatencyMs ? kLowLatencyMs : kChipLatencyMs) +
                   std::chrono::milliseconds(1));
    DWORD rx = 0;
    DWORD tx = 0;
    DWORD events = 0;
    bool changed = false;
    for (unsigned reads = 0; m_transferring && reads < kMostBytesBeforeSwitch &&
                             DrvGetStatus(&rx, &tx, &events) == FT_OK && rx != 0;
         ++reads) {
        std::uint8_t b = 0;
        DWORD got = 0;
        const FT_STATUS status = DrvRead(&b, 1, &got);
        if ((status != FT_OK && status != FT_IO_ERROR) || got == 0) {
            continue;
        }
        const ReplyAction action = ClassifyReply(b);
        if (action != ReplyAction::Next && action != ReplyAction::Repeat) {
            changed = InterpretReply(b) || changed;
        }
    }
    if (changed) {
        RefreshLog();
    }
    // A refusal either ended the transfer or, after a first-stage resume, holds it for the
    // dongle's announcement on the command link: the link stays where it is.
    return m_transferring && !m_lostSinceAnnounce;
}

bool CUpgradeDlg::MatchAnnouncement(std::uint8_t b) {
    if (m_answeringBox) {
        return false;  // heard while a box waits for the user: not taken
    }
    const MatchStep step = FeedAnnouncement(m_matchState, m_matchIndex, m_deviceName, b);
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
            m_strLog.Append(m_deviceName);
            m_strLog.Append("\r\n");
            break;
    }
    if (step.requestTransfer) {
        m_lostSinceAnnounce = false;
        m_window.PostToWindow(WindowMessage::StartTransfer);
    }
    return step.log != MatchLog::Unchanged;
}

void CUpgradeDlg::AbortTransfer(AbortCause cause, std::string_view text) {
    m_transferring = false;
    m_firstStage = true;
    m_outcome = TransferOutcome{TransferState::Aborted, cause, std::string(text)};
    ShowTransfer(text::kAborted);
    m_strLog.Append(text);
    m_strLog.Append("\r\n");
    // In the control before the drain, which pulls the texts back if the device is gone.
    UpdateData(false);
    WaitTransmitDrained();
    ReturnToCommandLink();
    ScrollLogToEnd();
}

}  // namespace kx

namespace kx {

void CUpgradeDlg::EndTransfer(std::string_view reason) {
    if (m_transferring) {
        AbortTransfer(AbortCause::GivenUp, reason);
        RefreshLog();
    }
}

}  // namespace kx
