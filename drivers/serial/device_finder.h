// Finding the dongle's serial port: the kernel shows every USB serial adapter as a tty whose
// sysfs entry leads to the USB device and its descriptor strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxserial {

// Where to look. Tests lay out a fake sysfs tree and a folder of device nodes.
struct DeviceRoots {
    std::string sysfs = "/sys";
    std::string dev = "/dev";

    // KXSERIAL_SYSFS_ROOT and KXSERIAL_DEV_ROOT over the defaults.
    static DeviceRoots FromEnvironment();

    std::string NodePath(const std::string& ttyName) const { return dev + "/" + ttyName; }
    std::string SysfsEntry(const std::string& ttyName) const {
        return sysfs + "/class/tty/" + ttyName;
    }
};

// A tty that belongs to a USB device, with that device's descriptor strings (empty when
// the device has none).
struct UsbTty {
    std::string name;  // e.g. "ttyUSB0"
    std::string description;
    std::string serial;
    // The USB location: the bus number, then each port of the path to the device as one hex
    // digit ("1-2.3" is 0x123), as FTDI's library numbers locations on Linux. 0 when the
    // USB device's name does not give it.
    std::uint32_t location = 0;
};

// The location id of a USB device from its sysfs name ("<bus>-<port>.<port>...").
std::uint32_t UsbLocation(const std::string& deviceName);

// Every tty under <sysfs>/class/tty whose device sits below a USB device (the nearest
// ancestor folder holding "idVendor"), in name order with numbers compared as numbers
// (ttyUSB2 before ttyUSB10).
std::vector<UsbTty> FindUsbTtys(const DeviceRoots& roots);

// A sysfs attribute's text without the newline the kernel ends it with.
std::string ReadAttribute(const std::string& path);

}  // namespace kxserial
