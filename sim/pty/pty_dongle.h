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
    LinkSettings m_deviceLink;
    Bootloader m_boot;
    std::unique_ptr<PtyPort> m_port;
    bool m_hostOpen = false;
    Nanos m_lastHostBytes = -kNever;
};

}  // namespace kxsim::pty
