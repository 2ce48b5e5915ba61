// Sending the firmware file to the device, one packet per call, and ending the transfer.
#include <cstdio>

#include "device/driver_binding.h"
#include "device/link_profile.h"
#include "dialog/upgrade_dlg.h"
#include "string_table.h"

namespace kx {

namespace {

std::string DescribeBuildFailure(const BuildResult& result) {
    char text[160];
    if (result.outcome == BuildOutcome::RecordTooLong && result.packetRecords > 1) {
        std::snprintf(
            text, sizeof text, text::kPacketTooLongFormat,
            static_cast<unsigned>(result.packetRecords), static_cast<unsigned>(result.packetLine),
            static_cast<unsigned>(result.recordLine), static_cast<unsigned>(kPacketCapacity));
    } else if (result.outcome == BuildOutcome::RecordTooLong) {
        std::snprintf(text, sizeof text, text::kRecordTooLongFormat,
                      static_cast<unsigned>(result.recordLine),
                      static_cast<unsigned>(kPacketCapacity));
    } else {
        std::snprintf(text, sizeof text, text::kReadErrorFormat,
                      static_cast<unsigned long long>(result.recordOffset));
    }
    return text;
}

}  // namespace

void CUpgradeDlg::SendNextPacket(bool repeat) {
    // Nothing goes out while the device is away, nor after its return until it has
    // shown whether it restarted.
    if (!g_connected || !m_transferring || m_lostSinceAnnounce) {
        return;
    }
    m_lastProgress = m_clock->Now();
    DWORD written = 0;
    if (!m_firstStage) {
        // Past the switch a packet goes out only on the device's reply to the one before,
        // which it sends once it has taken that packet whole: the chip holds nothing older.
        m_writtenSinceDrain = 0;
    }
    // The device resends the last packet on 0xB6, except the switch record: a repeat
    // request right after it is answered with the next packet.
    if (repeat && !m_lastWasSwitch) {
        m_writtenSinceDrain += WriteLastPacketAgain();
        return;
    }
    const BuildResult result = m_builder.Build(m_file);
    switch (result.outcome) {
        case BuildOutcome::EndOfFile:
            CompleteTransfer();
            return;
        case BuildOutcome::RecordTooLong:
        case BuildOutcome::ReadError:
            // Nothing of this packet goes out: a truncated record could brick the device.
            AbortTransfer(AbortCause::FileUnreadable, DescribeBuildFailure(result));
            RefreshLog();
            return;
        case BuildOutcome::Packet:
            break;
    }
    DrvWrite(m_packet, m_packetLen, &written);
    m_writtenSinceDrain += written;
    // Kept past the file's end, where the builder's buffer is empty: a dongle that comes
    // back may still need it. Copied as chars in one piece: from a byte range the string
    // would copy byte by byte.
    m_sentPacket.assign(reinterpret_cast<const char*>(m_packet), m_packetLen);
    // Progress counts the file bytes consumed: it reaches the file length at the end.
    m_bytesSent = static_cast<std::uint32_t>(m_file.Consumed());
    m_progress.SetPos(m_bytesSent);
    if (result.switchAfter) {
        // Kept as the probe of a held transfer. The link moves only once the record has
        // left on a live link, and the switch counts only when every profile call took:
        // otherwise the device is lost, and its return shows whether it took the record.
        m_switchRecord.assign(reinterpret_cast<const char*>(m_packet), m_packetLen);
        if (WaitTransmitDrained() && TakeCommandStageRefusal()) {
            SwitchLink(kBulkProfile);
        }
    }
}

// The packet the builder holds is the last one written; past the file's end it holds none,
// and the copy kept of the last one goes.
DWORD CUpgradeDlg::WriteLastPacketAgain() {
    DWORD written = 0;
    if (m_packetLen == 0) {
        DrvWrite(m_sentPacket.data(), static_cast<DWORD>(m_sentPacket.size()), &written);
    } else {
        DrvWrite(m_packet, m_packetLen, &written);
    }
    return written;
}

// Completed only once everything has left on a live link: a drain that finds the device
// gone or stalled holds the transfer like any other loss, and the device's return decides.
// (A 0xA9 read before the drain may not be the last packet's: that packet may still have
// been queued.)
void CUpgradeDlg::CompleteTransfer() {
    if (!WaitTransmitDrained()) {
        return;
    }
    m_transferring = false;
    m_firstStage = true;
    m_outcome.state = TransferState::Completed;
    // Whatever followed the last record (blank lines, text) has been read too.
    m_bytesSent = static_cast<std::uint32_t>(m_file.Consumed());
    m_progress.SetPos(m_bytesSent);
    ReturnToCommandLink();
    ShowTransfer(text::kCompleted);
    ScrollLogToEnd();
}

void CUpgradeDlg::ReturnToCommandLink() {
    DrvSetBaudRate(kCommandBaudRate);
    m_link.baudRate = kCommandBaudRate;
    m_link.divisor = 0;
    DrvPurge(FT_PURGE_RX);
    m_file.Close();
    EnableExit(true);
}

}  // namespace kx
