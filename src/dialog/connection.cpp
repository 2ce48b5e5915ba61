// Finding and opening the dongle, noticing its loss, and draining the transmit queue.
#include <algorithm>
#include <chrono>
#include <optional>

#include "dialog/upgrade_dlg.h"
#include "dongle_choice.h"
#include "driver_binding.h"
#include "link_profile.h"
#include "string_table.h"

namespace kx {

namespace {

// A transmit queue that has not shrunk for this long will not drain: the device has
// stopped taking bytes. A full packet leaves in about a second even at 38400 baud.
constexpr auto kDrainStall = std::chrono::seconds(3);
// Between two status queries while the queue drains.
constexpr auto kDrainQueryPause = std::chrono::microseconds(200);

}  // namespace

void CUpgradeDlg::ConnectDevice() {
    UpdateData(true);
    char description[] = "KX Upgrade - Dongle";
    static_assert(sizeof(description) == sizeof(text::kDeviceDescription));
    if (const FT_STATUS status = OpenChosenDongle(description); status != FT_OK) {
        // The driver tells a dongle that another program holds apart from one not there.
        m_strConnection = status == FT_DEVICE_NOT_OPENED ? text::kInUse : text::kNotResponding;
        g_connected = 0;
        g_polling = false;
    } else {
        m_strConnection = text::kConnected;
        g_connected = 1;
        ApplyLinkProfile(kCommandProfile);
        m_link = kCommandProfile;
        m_writtenSinceDrain = 0;
        LowerLatencyTimer();
        NoteOpenedDongle();
        if (Held()) {
            StartRecovery();
        }
        g_polling = true;
        if (m_pollStarter) {
            m_pollStarter();
        } else {
            m_pollThreads.Start(m_window);
        }
    }
    UpdateData(false);
    m_window.RepaintNow();
}

void CUpgradeDlg::OnTimer(TimerId /*id*/) {
    if (!g_polling && !g_connected) {
        ConnectDevice();
        EnableExit(true);
    }
}

void CUpgradeDlg::LowerLatencyTimer() {
    UCHAR before = 0;
    m_chipLatencyMs.reset();
    if (DrvGetLatencyTimer(&before) == FT_OK) {
        m_chipLatencyMs = before;
    }
    DrvSetLatencyTimer(kLowLatencyMs);
}

void CUpgradeDlg::RestoreLatencyTimer() {
    if (m_chipLatencyMs && *m_chipLatencyMs != kLowLatencyMs) {
        DrvSetLatencyTimer(*m_chipLatencyMs);
    }
    m_chipLatencyMs.reset();
}

// The poll threads are joined first: none may be registering its event while the
// device closes.
void CUpgradeDlg::OnClose() {
    m_pollThreads.StopAll();
    g_pacing = false;
    if (DeviceIsOpen()) {
        RestoreLatencyTimer();
    }
    DrvClose();
}

// The device is gone: the link line says so and the handle is closed. What it held of a
// running transfer is unknown until it is back.
void CUpgradeDlg::MarkDeviceLost() {
    m_lostSinceAnnounce = true;
    UpdateData(true);
    m_strConnection = text::kNotResponding;
    DrvClose();
    m_chipLatencyMs.reset();  // a lost chip starts again at its default
    g_connected = 0;
    UpdateData(false);
    ScrollLogToEnd();
    EnableExit(true);  // a transfer waits for the device, but the user need not
}

// Loss found by a poll pass: polling stops too, and the reconnect timer takes over.
void CUpgradeDlg::LoseDevice() {
    g_polling = false;
    MarkDeviceLost();
}

bool CUpgradeDlg::WaitTransmitDrained() {
    constexpr std::chrono::milliseconds kSettle(2);
    m_clock->Sleep(kSettle);
    DWORD tx = 1;
    bool lost = false;
    std::optional<DWORD> smallest;
    auto lastProgress = m_clock->Now();
    while (tx != 0) {
        DWORD rx = 0;
        DWORD events = 0;
        if (DrvGetStatus(&rx, &tx, &events) != FT_OK) {
            // Polling stays on: the next pass finds the device closed and reconnects.
            MarkDeviceLost();
            lost = true;
            break;
        }
        const auto now = m_clock->Now();
        if (!smallest || tx < *smallest) {
            smallest = tx;
            lastProgress = now;
        } else if (now - lastProgress > kDrainStall) {
            MarkDeviceLost();
            lost = true;
            break;
        }
        if (tx != 0) {
            // A byte takes at least 20 us even at 500000 baud: no need to ask faster.
            m_clock->Sleep(kDrainQueryPause);
        }
    }
    // The driver's queue is empty, but the chip's own FIFO may still be sending: the
    // link must not change under its last bytes.
    const auto hold =
        lost ? std::chrono::microseconds(0) : ChipHoldTime(m_link, m_writtenSinceDrain);
    m_writtenSinceDrain = 0;
    m_clock->Sleep(std::max<std::chrono::microseconds>(hold, kSettle));
    if (!lost) {
        // The FIFO's last bytes went out only if the device was still there after them.
        DWORD rx = 0;
        DWORD events = 0;
        if (DrvGetStatus(&rx, &tx, &events) != FT_OK) {
            MarkDeviceLost();
            lost = true;
        }
    }
    return !lost;
}

// Moves the link to `profile`. A profile that did not take is a device gone: the link is
// in doubt, so the device is closed and found again like any other loss.
bool CUpgradeDlg::SwitchLink(const LinkProfile& profile) {
    if (!ApplyLinkProfile(profile)) {
        MarkDeviceLost();
        return false;
    }
    m_link = profile;
    return true;
}

}  // namespace kx
