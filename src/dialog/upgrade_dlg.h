// The main dialog: owner of all per-window state and home of every handler that drives
// the device. It reaches the window only through a WindowSurface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <functional>

#include "device/dongle_choice.h"
#include "device/dynamic_library.h"
#include "device/host_clock.h"
#include "device/link_profile.h"
#include "dialog/poll_thread.h"
#include "firmware_check.h"
#include "firmware_file.h"
#include "log_text.h"
#include "packet_builder.h"
#include "transfer_outcome.h"
#include "window_surface.h"

namespace kx {

inline constexpr int IDD_MAIN = 102;
inline constexpr int IDC_LOG = 1000;
inline constexpr int IDC_CONNECTION_TEXT = 1001;
inline constexpr int IDC_PROGRESS = 1002;
inline constexpr int IDC_TRANSFER_TEXT = 1004;
inline constexpr int IDR_MAINFRAME = 128;

// The log control as the logic uses it.
class LogControl {
  public:
    explicit LogControl(WindowSurface& window) : m_window(window) {}
    void Invalidate() { m_window.InvalidateLog(); }
    void ScrollToEnd() { m_window.ScrollLogToEnd(); }

  private:
    WindowSurface& m_window;
};

// The progress bar as the logic uses it: a 32-bit range from 0.
class ProgressControl {
  public:
    explicit ProgressControl(WindowSurface& window) : m_window(window) {}
    void SetRange32(std::uint32_t maximum) { m_window.SetProgressRange(maximum); }
    void SetPos(std::uint32_t position) { m_window.SetProgressPos(position); }

  private:
    WindowSurface& m_window;
};

class CUpgradeDlg {
  public:
    // `driverLibrary` is the name the loader searches for; tests may give a path.
    explicit CUpgradeDlg(WindowSurface& window,
                         const char* driverLibrary = platform::kDriverLibraryName);
    ~CUpgradeDlg();
    CUpgradeDlg(const CUpgradeDlg&) = delete;
    CUpgradeDlg& operator=(const CUpgradeDlg&) = delete;

    // Message routing: a timer tick (of `timer`), the close request, a poll pass, the
    // transfer start.
    void OnMessage(WindowMessage message, TimerId timer = TimerId::Reconnect);

    bool OnInitDialog();
    void OnTimer(TimerId id);
    void OnClose();
    long OnPollDevice(UINT wParam, long lParam);
    long OnStartTransfer(UINT wParam, long lParam);
    // The dialog ends through EXIT, Enter or Esc: close the device and stop polling,
    // as the close box does, so that no poll thread outlives the window.
    void OnEndDialog();

    // Ends a running transfer with "Transfer aborted" and `reason` in the log (a front
    // end that gives up on a stalled transfer: AbortCause::GivenUp). Nothing happens
    // outside a transfer.
    void EndTransfer(std::string_view reason);

    // A transfer restarted from its first record this many times at most; one more
    // restart ends it.
    static constexpr unsigned kRestartLimit = 3;
    // How a transfer held after a reconnection (or a lost reply) finds out whether the
    // dongle restarted.
    // It listens on the command link, where a restarted bootloader announces itself. Past
    // the switch record it then probes: the switch record once on the bulk link, which a
    // bootloader still in its bulk stage takes and answers; no answer, and it listens
    // again on the command link, for longer than the dongle's longest announcement period
    // (10 s). Before the switch record a silent listen means the dongle did not restart.
    struct RecoveryTiming {
        std::chrono::milliseconds firstListen{1000};  // past the switch, before the first probe
        std::chrono::milliseconds listen{12000};      // every other listen
        std::chrono::milliseconds probeReply{500};    // the probe's answer within this
        std::chrono::milliseconds probeSettle{50};    // answers taken until quiet this long
        unsigned probes = 3;                          // unanswered probes before giving up
        // Past the switch record, a reply awaited this long (the erase included) is taken
        // as lost: the host probes, as after a drop-out.
        std::chrono::milliseconds replyWait{5000};
    };

    // Seams for harnesses: the clock read and slept on, and what a connection does
    // instead of starting a poll thread (the harness then posts the poll itself).
    void SetRecoveryTiming(const RecoveryTiming& timing) { m_recoveryTiming = timing; }
    void SetClock(HostClock& clock) { m_clock = &clock; }
    void SetPollStarter(std::function<void()> starter) { m_pollStarter = std::move(starter); }
    // A file chosen under `path` is taken from `image`, with the check found in it, instead
    // of being read from disk and checked again; the image must outlive the dialog's use
    // of it. Everything after the read and the check is as for a file on disk.
    void SetHeldFile(std::string path, const CheckedImage& image) {
        m_heldPath = std::move(path);
        m_heldImage = &image;
    }

    // State, read by the front ends and tests.
    const std::string& ConnectionText() const { return m_strConnection; }
    const std::string& LogTextValue() const { return m_strLog.str(); }
    const std::string& TransferText() const { return m_strTransfer; }
    bool Transferring() const { return m_transferring; }
    // Where the current (or last) transfer stands, and why it was aborted ("ERROR", ...):
    // kept until the next one starts, since an announcement right after an abort clears
    // the log that holds the reason.
    const TransferOutcome& Outcome() const { return m_outcome; }
    const std::string& LastAbortReason() const { return m_outcome.reason; }
    bool FirstStage() const { return m_firstStage; }
    std::uint32_t BytesSent() const { return m_bytesSent; }
    std::uint32_t FileLength() const { return m_fileLength; }
    // Why the last file chosen was not sent ("PATH:LINE: problem"); empty when it was.
    const std::string& FileRefusal() const { return m_fileRefusal; }
    std::size_t PollThreadsRunning() const { return m_pollThreads.Running(); }
    // Restarts and resumes of the current (or last) transfer.
    unsigned Restarts() const { return m_restarts; }
    unsigned Resumes() const { return m_resumes; }
    // The transfer waits for the lost device to come back and show whether it restarted.
    bool Held() const { return m_transferring && m_lostSinceAnnounce; }
    // When the running transfer last moved: a packet written or an answer to one received
    // (not echoed text or noise).
    HostClock::TimePoint LastProgress() const { return m_lastProgress; }
    // The name the dongle announced last, as the announcement matcher collected it.
    const std::string& DeviceName() const { return m_deviceName; }
    // The bytes the transfer sends from (the file as read when it started); empty outside.
    std::span<const std::uint8_t> FileImage() const { return m_file.Image(); }

  private:
    // Display routines
    void UpdateData(bool saveAndValidate);
    void ShowConnection(std::string_view text);
    void ShowTransfer(std::string_view text);
    void ScrollLogToEnd();
    void RefreshLog();
    void EnableExit(bool enable);

    // Device link
    void LoadDriver();
    void ConnectDevice();
    // False when it found the device gone or its queue stalled (the device is then closed).
    bool WaitTransmitDrained();
    void MarkDeviceLost();
    void LoseDevice();
    // Sets the chip's latency timer low, remembering the value it had; puts it back
    // before the device is closed. Both do nothing on a driver without the calls.
    void LowerLatencyTimer();
    void RestoreLatencyTimer();
    // Tells the poll threads how often to wake: every millisecond while the first
    // stage's pacing rule needs it.
    void UpdatePacing() {
        const bool pacing = m_transferring && m_firstStage;
        if (g_pacing.exchange(pacing) != pacing && pacing) {
            m_pollThreads.Wake();  // not at the end of an idle wait
        }
    }

    // Which dongle was opened, read at every open: another one in the lost dongle's place
    // takes the transfer from its first record (dongle_swap.cpp).
    void NoteOpenedDongle();

    // Upgrade protocol
    void SendNextPacket(bool repeat);
    // Writes the last packet again; returns the bytes written.
    DWORD WriteLastPacketAgain();
    void CompleteTransfer();
    void AbortTransfer(AbortCause cause, std::string_view text);
    // The transfer has ended: the link back at the command rate, the file closed, EXIT on.
    void ReturnToCommandLink();
    // Reads the chosen file (or takes the held one) and checks it; false, with the reason
    // shown, when it is not to be sent.
    bool AcceptFile(const std::string& path);
    bool RefuseFile(const std::string& path, const ImageCheck* check);
    bool InterpretReply(std::uint8_t b);
    // Before the link leaves the command rate: false when the dongle refused a record.
    bool TakeCommandStageRefusal();
    bool MatchAnnouncement(std::uint8_t b);
    bool HeldByte(std::uint8_t b);
    void StartRecovery();
    void StartRecoveryListen();
    void CheckHeldDevice();
    void SendProbe();
    void GiveUpRecovery();
    bool SwitchLink(const LinkProfile& profile);
    void RestartTransfer();
    void RewindTransfer();
    void ResumeTransfer();
    void HoldRefusedResume();

    WindowSurface& m_window;
    const char* m_driverLibrary;
    PollThreads m_pollThreads;
    bool m_choosingFile = false;
    bool m_answeringBox = false;           // a refused file's box waits for the user
    std::optional<UCHAR> m_chipLatencyMs;  // the timer's value before the tool lowered it
    TransferOutcome m_outcome;
    HostClock* m_clock = &RealClock();
    std::function<void()> m_pollStarter;

    // Set when the device is lost, cleared when it announces itself or a held transfer
    // resumes: a transfer running while it is set is held.
    bool m_lostSinceAnnounce = false;
    // Where a held transfer stands after the reconnection: listening on the command link,
    // waiting for the probe's answer, or taking the answers until the line is quiet.
    enum class Recovery { Listening, Probing, Answered };
    Recovery m_recovery = Recovery::Listening;
    HostClock::TimePoint m_recoveryFrom{};
    unsigned m_probesSent = 0;
    RecoveryTiming m_recoveryTiming;
    // The announcement matcher of a held transfer, started afresh on every connection.
    std::uint8_t m_heldMatchState = 0;
    std::uint8_t m_heldMatchIndex = 0;
    // The switch record as sent: the probe. The last packet written.
    std::string m_switchRecord;
    std::string m_sentPacket;
    unsigned m_restarts = 0;
    unsigned m_resumes = 0;
    // A transfer resumed before the switch record with the record the drop may have cut,
    // and the dongle has not answered since: a refusal now is that record's. Once refused,
    // the transfer is held for the announcement of the dongle starting over.
    bool m_resumedCutRecord = false;
    bool m_refusedResume = false;
    std::optional<ListedDongle> m_dongle;  // the dongle opened last, when the list showed it
    HostClock::TimePoint m_lastProgress{};

    std::uint8_t m_matchIndex = 0;
    std::uint8_t m_matchState = 0;
    std::string m_deviceName;
    LogControl m_editLog;
    ProgressControl m_progress;
    std::string m_strConnection;
    LogText m_strLog;
    std::string m_pulledLog;  // the buffer UpdateData pulls the log into
    std::string m_strTransfer;
    platform::LibraryHandle m_hDriver = nullptr;
    FirmwareFile m_file;
    std::string m_heldPath;
    const CheckedImage* m_heldImage = nullptr;
    std::string m_fileRefusal;
    std::uint32_t m_fileLength = 0;
    std::uint32_t m_bytesSent = 0;
    std::uint8_t m_packet[kPacketCapacity] = {};
    std::uint16_t m_packetLen = 0;
    bool m_firstStage = true;
    bool m_transferring = false;
    bool m_lastWasSwitch = false;
    // The link in force, and what was written on it since its queue last drained: bytes
    // the chip's own transmit FIFO may still hold when the driver's queue reads empty.
    LinkProfile m_link = kCommandProfile;
    std::size_t m_writtenSinceDrain = 0;

    PacketBuilder m_builder{m_packet, m_packetLen, m_firstStage, m_lastWasSwitch};
};

}  // namespace kx
