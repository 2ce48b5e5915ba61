// The simulated dongle's bootloader serving one end of a pty: plugging in makes a new pty
// and shows the USB device, unplugging closes the pty's device end and hides it again.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bootloader.h"
#include "flash.h"
#include "model_clock.h"
#include "pty_port.h"
#include "settings.h"
#include "termios_link.h"
#include "usb_presence.h"

namespace kxsim::pty {

class PtyDongle final : private BootloaderUart {
  public:
    static constexpr Nanos kNever = Nanos{1} << 60;

    // `report` gets one line for each change the outside may wait for: "plugged <slave>",
    // "unplugged", "opened", "closed".
    using Report = std::function<void(const std::string& line)>;

    PtyDongle(const Settings& settings, const TimeScale& scale, UsbPresence& presence,
              Report report);
    ~PtyDongle() override;

    void Plug(Nanos now);
    void Unplug();
    bool Plugged() const { return m_port != nullptr; }
    // A power cycle that keeps the pty: whoever holds its slave open (an emulator's serial
    // backend bridging to a USB device it can detach on its own) keeps it open, and the
    // bootloader starts afresh as on a host's open.
    void Restart(Nanos now);
    // The USB link between host and dongle fails once the host has sent `bytes` more: the
    // rest of its bytes, and the dongle's replies, are lost until Rejoin() or Restart()
    // (a power cycle). The dongle itself runs on. Reports "cut" when it happens.
    void CutAfter(std::uint64_t bytes);
    void Rejoin();
    // A pty hands over one write of the host in pieces, with pauses a real line does not
    // have; the bootloader's timers (a packet ends when the line has been quiet for four
    // characters) run only once the host has been silent this long. 10 ms by default; a
    // host in an emulator, whose writes reach the pty in far slower bursts, needs more.
    void SetQuietGrace(Nanos grace) { m_quietGrace = grace; }
    // What the host's line shows for a rate it asked for (see RateAlias).
    void SetHostRateAlias(const RateAlias& alias) { m_rateAlias = alias; }

    // One turn of the device: notices the host opening or closing the port, takes what the
    // host wrote and runs the bootloader's due deadlines.
    void Service(Nanos now);
    // The pty master to wait on for host bytes, or -1.
    int WatchFd() const;
    // How long the caller may wait before the next Service(); -1 for "until input".
    int WaitMs(Nanos now) const;

    // Writes the flash image where the settings' dump_flash says, if anywhere.
    void DumpFlash() const;

  private:
    // The bootloader's next deadline, held back while the host is still sending.
    std::optional<Nanos> NextDeadline() const;
    void RunDeadlines(Nanos now);

    // BootloaderUart: replies go into the host's receive queue as the host's line settings
    // would receive them.
    void Send(std::span<const std::uint8_t> bytes, Nanos now) override;
    void SetLink(const LinkSettings& link) override { m_deviceLink = link; }
    const LinkSettings& Link() const override { return m_deviceLink; }

    const Settings& m_settings;
    UsbPresence& m_presence;
    Report m_report;
    Flash m_flash;
    void Cut();
    LinkSettings HostLink() const { return m_rateAlias.Apply(m_port->HostLink()); }

    LinkSettings m_deviceLink;
    RateAlias m_rateAlias;
    Nanos m_quietGrace = 10'000'000;
    std::optional<std::uint64_t> m_cutAfter;  // host bytes still to take before the cut
    bool m_cut = false;
    Bootloader m_boot;
    std::unique_ptr<PtyPort> m_port;
    bool m_hostOpen = false;
    Nanos m_lastHostBytes = -kNever;
};

}  // namespace kxsim::pty
