// A fake sysfs tree and device-node folder in a temporary folder, handed to the serial
// library through KXSERIAL_SYSFS_ROOT and KXSERIAL_DEV_ROOT for the object's lifetime.
#pragma once

#include <string>

namespace kxserial::test {

class FakeDevices {
  public:
    FakeDevices();
    ~FakeDevices();
    FakeDevices(const FakeDevices&) = delete;
    FakeDevices& operator=(const FakeDevices&) = delete;

    // A tty behind a USB device, laid out as the kernel's usb-serial drivers do:
    // devices/.../1-<n>/1-<n>:1.0/<tty> with class/tty/<tty>/device leading there, and the
    // product and serial attributes on the USB device, each ending in a newline as the
    // kernel writes them. `productFile` is written as given (no attribute when empty).
    void AddUsbTty(const std::string& tty, const std::string& productFile,
                   const std::string& serialFile = "");
    // The dongle's own product string, as the kernel shows it.
    void AddDongle(const std::string& tty) { AddUsbTty(tty, "KX Upgrade - Dongle\n"); }
    // A tty on a platform device (like ttyS0): no USB device above it.
    void AddPlatformTty(const std::string& tty);
    // The sysfs entry goes, as when the device is unplugged.
    void RemoveSysfsEntry(const std::string& tty);

    // <dev>/<tty> becomes a link to `target` (a pty slave), replacing any old one.
    void LinkNode(const std::string& tty, const std::string& target);
    void RemoveNode(const std::string& tty);

    const std::string& Sysfs() const { return m_sysfs; }
    const std::string& Dev() const { return m_dev; }

  private:
    std::string m_root;
    std::string m_sysfs;
    std::string m_dev;
    int m_usbDevices = 0;
};

}  // namespace kxserial::test
