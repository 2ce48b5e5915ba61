// A transfer whose device was lost is held after the reconnection until the device has
// shown whether it restarted. Nothing is decided on a silence alone past the switch
// record, and nothing is streamed at the bulk rate into a dongle that may be starting:
//
// - The host listens on the command link. A restarted bootloader announces itself there:
//   the transfer starts over from its first record.
// - Before the switch record the dongle has written nothing and sends no replies: a listen
//   longer than its announcement period with no announcement means it did not restart,
//   and the transfer goes on with the record the drop may have cut. A dongle that kept
//   the first part of that record takes the record sent again as the rest of it and
//   refuses it, then starts over by itself: that refusal holds the transfer again, and
//   the announcement that follows starts the file over.
// - Past the switch record the host probes: the switch record once on the bulk link, a
//   record that a bootloader still in its bulk stage takes, ignores and answers. An answer
//   means it did not restart: the last packet goes again (flash takes a rewrite of the
//   same bytes), or after the switch record the first bulk packet. No answer: back to
//   the command link and listen again, where a restarted dongle, which takes the probe
//   for noise at its own rate, announces itself.
// - After a set number of unanswered probes the transfer is aborted with what to check.
// - A reply awaited too long past the switch record is handled the same way, from the
//   probe on: a lost reply is a silence, and a silence decides nothing.
#include <cstdio>

#include "announce_matcher.h"
#include "device/driver_binding.h"
#include "device/link_profile.h"
#include "dialog/upgrade_dlg.h"
#include "reply_table.h"
#include "string_table.h"

namespace kx {

namespace {

// The packet's last record is a termination record (S7, S8, S9). Records are laid end to
// end; hexadecimal digits hold no `S` or `Z`, so the last of those starts the last record.
bool EndsWithTermination(const std::uint8_t* packet, std::size_t length) {
    for (std::size_t i = length; i-- > 0;) {
        if (packet[i] == 'S' || packet[i] == 'Z') {
            return packet[i] == 'S' && i + 1 < length && packet[i + 1] >= '7' &&
                   packet[i + 1] <= '9';
        }
    }
    return false;
}

}  // namespace

// A connection made while a transfer is held: listen afresh.
void CUpgradeDlg::StartRecovery() {
    m_probesSent = 0;
    StartRecoveryListen();
}

// A byte from the device while the transfer is held.
bool CUpgradeDlg::HeldByte(std::uint8_t b) {
    const ReplyAction action = ClassifyReply(b);
    if (m_recovery != Recovery::Listening) {
        // On the bulk link: only a dongle still in its bulk stage talks at this rate.
        switch (action) {
            case ReplyAction::Next:
            case ReplyAction::Repeat:
                m_recovery = Recovery::Answered;
                m_recoveryFrom = m_clock->Now();
                return false;
            case ReplyAction::Error:
            case ReplyAction::IdMismatch:
                return InterpretReply(b);
            case ReplyAction::Echo:
            case ReplyAction::Ignore:
                return false;  // a dongle at the command rate heard at the bulk rate
        }
    }
    switch (action) {
        case ReplyAction::Next:
        case ReplyAction::Repeat:
            if (m_firstStage) {
                // A command-stage dongle that answers records: it kept what it was sent.
                ResumeTransfer();
                return true;
            }
            return false;  // no bulk-stage dongle talks at the command rate
        case ReplyAction::Error:
        case ReplyAction::IdMismatch:
            // Before the switch record: the dongle refused a record (one cut by the drop).
            // Past it, a restarted dongle refusing the probe, which it will announce after.
            return m_firstStage && InterpretReply(b);
        case ReplyAction::Echo:
        case ReplyAction::Ignore:
            break;
    }
    // Echoed as always, and watched for the announcement of a restarted bootloader.
    const bool changed = InterpretReply(b);
    std::string name;
    if (FeedAnnouncement(m_heldMatchState, m_heldMatchIndex, name, b).requestTransfer) {
        RestartTransfer();
        return true;
    }
    return changed;
}

// Once per poll pass, after the device's bytes: moves a held transfer on when its current
// wait is over. Every wait is bounded, and so is the number of probes.
void CUpgradeDlg::CheckHeldDevice() {
    if (!g_connected || !m_transferring) {
        return;
    }
    if (!m_lostSinceAnnounce && !m_firstStage &&
        m_clock->Now() - m_lastProgress >= m_recoveryTiming.replyWait) {
        // A reply lost on a live link (the erase reply that came before the host's link
        // had switched, say): the probe asks the dongle where it stands.
        m_lostSinceAnnounce = true;
        SendProbe();  // counted with the probes since the connection
        return;
    }
    if (!Held()) {
        return;
    }
    const RecoveryTiming& timing = m_recoveryTiming;
    const auto waited = m_clock->Now() - m_recoveryFrom;
    switch (m_recovery) {
        case Recovery::Listening: {
            const auto length = m_firstStage || m_probesSent > 0 || m_refusedResume
                                    ? timing.listen
                                    : timing.firstListen;
            // An announcement under way is heard to its end, within a bound.
            const bool midAnnouncement = m_heldMatchState != 0 || m_heldMatchIndex != 0;
            if (waited < length || (midAnnouncement && waited < 2 * length)) {
                return;
            }
            if (m_refusedResume) {
                // It refused and has not started over within its announcement period.
                AbortTransfer(AbortCause::DeviceError, text::kDeviceError);
                RefreshLog();
            } else if (m_firstStage) {
                ResumeTransfer();
                RefreshLog();
            } else if (m_probesSent >= timing.probes || m_switchRecord.empty()) {
                GiveUpRecovery();
            } else {
                SendProbe();
            }
            return;
        }
        case Recovery::Probing:
            if (waited < timing.probeReply) {
                return;
            }
            // Unanswered: the dongle is starting, restarted, or silent for good.
            if (SwitchLink(kCommandProfile)) {
                StartRecoveryListen();
            }
            return;
        case Recovery::Answered:
            if (waited < timing.probeSettle) {
                return;
            }
            ResumeTransfer();
            RefreshLog();
            return;
    }
}

void CUpgradeDlg::StartRecoveryListen() {
    m_recovery = Recovery::Listening;
    m_recoveryFrom = m_clock->Now();
    m_heldMatchState = 0;
    m_heldMatchIndex = 0;
}

void CUpgradeDlg::SendProbe() {
    if (!SwitchLink(kBulkProfile)) {
        return;
    }
    DWORD written = 0;
    DrvWrite(m_switchRecord.data(), static_cast<DWORD>(m_switchRecord.size()), &written);
    m_writtenSinceDrain += written;
    ++m_probesSent;
    m_recovery = Recovery::Probing;
    m_recoveryFrom = m_clock->Now();
}

// Neither an announcement nor an answer: the dongle may have finished the file with its
// last reply lost (it then stays silent), or restarted without being heard.
void CUpgradeDlg::GiveUpRecovery() {
    const auto* sent = reinterpret_cast<const std::uint8_t*>(m_sentPacket.data());
    const bool atLastPacket = EndsWithTermination(sent, m_sentPacket.size());
    if (atLastPacket) {
        AbortTransfer(AbortCause::NoReplyToLastPacket, text::kNoReplyToLastPacket);
    } else {
        AbortTransfer(AbortCause::NoAnswerAfterReturn, text::kNoAnswerAfterReturn);
    }
    RefreshLog();
}

// The device restarted its bootloader: what it was sent is gone. The same file goes
// again from its first record, at most kRestartLimit times.
void CUpgradeDlg::RestartTransfer() {
    m_lostSinceAnnounce = false;
    m_resumedCutRecord = false;
    m_refusedResume = false;
    const bool sentSomething = m_bytesSent != 0 || !m_firstStage;
    if (!sentSomething) {
        SendNextPacket(false);  // nothing was lost: this is the start
        return;
    }
    if (m_restarts == kRestartLimit) {
        char reason[96];
        std::snprintf(reason, sizeof reason, text::kRestartLimitFormat, kRestartLimit);
        AbortTransfer(AbortCause::RestartLimit, reason);
        return;
    }
    ++m_restarts;
    char line[48];
    std::snprintf(line, sizeof line, text::kRestartFormat, m_restarts, kRestartLimit);
    m_strLog.Append(line);
    m_strLog.Append("\r\n");
    RewindTransfer();
    EnableExit(false);
    m_window.TransferRestarted(m_restarts, kRestartLimit);
    SendNextPacket(false);
}

// The file goes again from its first record, in the first stage.
void CUpgradeDlg::RewindTransfer() {
    m_resumedCutRecord = false;
    m_refusedResume = false;
    m_firstStage = true;
    m_lastWasSwitch = false;
    m_file.SeekToBegin();
    m_builder.Restart();
    m_bytesSent = 0;
    m_progress.SetPos(0);
}

// The device came back without restarting: the transfer goes on where it was, with the
// packet the drop may have cut. Before the switch record that is the last record (the
// command stage takes a record again); past it the link is already the bulk one of the
// probe, and the last packet goes again, or the next one right after the switch record.
void CUpgradeDlg::ResumeTransfer() {
    if (m_firstStage && m_packetLen == 0 && m_bytesSent != 0) {
        // The file's end was reached before any switch record: it may simply go again.
        RestartTransfer();
        return;
    }
    m_lostSinceAnnounce = false;
    ++m_resumes;
    m_strLog.Append(text::kResume);
    m_strLog.Append("\r\n");
    EnableExit(false);
    m_window.TransferResumed();
    if (m_firstStage && m_bytesSent == 0) {
        return;  // nothing went out yet: the pacing rule starts the file
    }
    // Before the switch record the dongle answers nothing: whether it kept part of the
    // record that goes again shows only in a refusal of it.
    m_resumedCutRecord = m_firstStage;
    if (m_packetLen == 0) {
        // Past the file's end the builder holds no packet: the last one written goes again.
        m_lastProgress = m_clock->Now();
        WriteLastPacketAgain();
        return;
    }
    SendNextPacket(true);
}

// The dongle refused what went since a first-stage resume: it held the first bytes of the
// record the drop cut, took the record sent again as their continuation, and after such a
// refusal (answered at once, and again after a switch record) it starts over and
// announces itself. The transfer is held on the command link until it does, and then
// starts over from the first record; a dongle silent for the whole listen ends it.
void CUpgradeDlg::HoldRefusedResume() {
    m_resumedCutRecord = false;
    m_refusedResume = true;
    m_lostSinceAnnounce = true;
    m_strLog.Append(text::kResumeRefused);
    m_strLog.Append("\r\n");
    // Past the switch record the link goes back to the command profile (its purge drops
    // the rest of the refusal); before it, it is there.
    if (!m_firstStage && !SwitchLink(kCommandProfile)) {
        return;  // lost: its return starts the listen
    }
    m_probesSent = 0;
    StartRecoveryListen();
}

}  // namespace kx
