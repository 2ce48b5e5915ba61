#include "pty_dongle.h"

#include <algorithm>

#include "dump.h"
#include "link.h"

namespace kxsim::pty {

namespace {

// A closed port gives no event to wait for: the device looks again this often.
constexpr int kClosedPortPollMs = 5;

}  // namespace

PtyDongle::PtyDongle(const Settings& settings, const TimeScale& scale, UsbPresence& presence,
                     Report report)
    : m_settings(settings),
      m_presence(presence),
      m_report(std::move(report)),
      m_boot(settings, scale, m_flash, *this) {
    m_flash.Configure(settings.flashBase, settings.flashSize);
}

PtyDongle::~PtyDongle() {
    Unplug();
}

void PtyDongle::Plug(Nanos now) {
    if (m_port) {
        return;
    }
    m_port = std::make_unique<PtyPort>();
    m_hostOpen = false;
    m_boot.PowerUp(now);
    m_presence.Show(m_port->SlaveName());
    m_report("plugged " + m_port->SlaveName());
}

void PtyDongle::Unplug() {
    if (!m_port) {
        return;
    }
    m_presence.Hide();
    m_boot.PowerDown();
    m_port.reset();
    m_hostOpen = false;
    m_report("unplugged");
}

void PtyDongle::Restart(Nanos now) {
    if (!m_port) {
        return;
    }
    m_boot.PowerDown();
    m_boot.PowerUp(now);
    Rejoin();
    m_lastHostBytes = -kNever;
    if (m_hostOpen) {
        m_boot.PortOpened(now);
    }
    m_report("restarted");
}

void PtyDongle::CutAfter(std::uint64_t bytes) {
    m_cutAfter = bytes;
    if (bytes == 0) {
        Cut();
    }
}

void PtyDongle::Cut() {
    m_cutAfter.reset();
    m_cut = true;
    m_report("cut");
}

void PtyDongle::Rejoin() {
    m_cut = false;
    m_cutAfter.reset();
}

void PtyDongle::Service(Nanos now) {
    if (!m_port) {
        return;
    }
    RunDeadlines(now);
    const bool open = m_port->HostOpen();
    if (open != m_hostOpen) {
        m_hostOpen = open;
        if (open) {
            m_boot.PortOpened(now);
            m_report("opened");
        } else {
            m_boot.PortClosed();
            DumpFlash();
            m_report("closed");
        }
    }
    if (open) {
        const std::vector<std::uint8_t> written = m_port->TakeWritten();
        if (!written.empty()) {
            // The host's settings when its bytes are taken stand for those they were sent
            // with: the tool drains its queue before it changes them.
            m_lastHostBytes = now;
            const LinkSettings host = HostLink();
            for (std::uint8_t byte : written) {
                if (m_cut) {
                    break;
                }
                m_boot.OnByte(Receive(byte, host, m_deviceLink), now);
                if (m_cutAfter && --*m_cutAfter == 0) {
                    Cut();
                }
            }
        }
    }
    RunDeadlines(now);
}

std::optional<Nanos> PtyDongle::NextDeadline() const {
    const std::optional<Nanos> due = m_boot.NextDeadline();
    if (!due) {
        return std::nullopt;
    }
    return std::max(*due, m_lastHostBytes + m_quietGrace);
}

void PtyDongle::RunDeadlines(Nanos now) {
    for (auto due = NextDeadline(); due && *due <= now; due = NextDeadline()) {
        m_boot.OnDeadline(now);
    }
}

int PtyDongle::WatchFd() const {
    return m_port && m_hostOpen ? m_port->MasterFd() : -1;
}

int PtyDongle::WaitMs(Nanos now) const {
    if (!m_port) {
        return -1;
    }
    int wait = m_hostOpen ? -1 : kClosedPortPollMs;
    if (const auto due = NextDeadline()) {
        const auto ms = static_cast<int>(std::max<Nanos>(0, (*due - now + 999999) / 1000000));
        wait = wait < 0 ? ms : std::min(wait, ms);
    }
    return wait;
}

void PtyDongle::Send(std::span<const std::uint8_t> bytes, Nanos /*now*/) {
    if (!m_port || m_cut) {
        return;
    }
    const LinkSettings host = HostLink();
    std::vector<std::uint8_t> received(bytes.size());
    std::transform(bytes.begin(), bytes.end(), received.begin(),
                   [&](std::uint8_t byte) { return Receive(byte, m_deviceLink, host); });
    m_port->Deliver(received);
}

void PtyDongle::DumpFlash() const {
    if (!m_settings.dumpFlash.empty()) {
        WriteFlashFile(m_settings.dumpFlash, m_flash.Bytes());
    }
}

}  // namespace kxsim::pty
