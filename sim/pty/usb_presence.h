// What the kernel shows while the dongle is plugged in, laid out in folders of the caller's
// choice: the USB device with its descriptor strings and tty in a sysfs-like tree, and the
// device node as a link to the pty's slave. The serial-port driver library finds the
// dongle there when KXSERIAL_SYSFS_ROOT and KXSERIAL_DEV_ROOT name the same folders.
#pragma once

#include <string>
#include <utility>

#include "settings.h"

namespace kxsim::pty {

struct PresenceFolders {
    std::string sysfs;  // empty: no sysfs tree is laid out
    std::string dev;    // empty: no device node is made
    std::string tty = "ttyUSB0";
};

class UsbPresence {
  public:
    UsbPresence(PresenceFolders folders, const Settings& settings)
        : m_folders(std::move(folders)), m_settings(settings) {}
    ~UsbPresence() { Hide(); }
    UsbPresence(const UsbPresence&) = delete;
    UsbPresence& operator=(const UsbPresence&) = delete;

    // Lays out the device with its node leading to `slaveName`.
    void Show(const std::string& slaveName);
    void Hide();

  private:
    PresenceFolders m_folders;
    const Settings& m_settings;
};

}  // namespace kxsim::pty
