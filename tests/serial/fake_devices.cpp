#include "fake_devices.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kxserial::test {

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

FakeDevices::FakeDevices() {
    char pattern[] = "/tmp/kx-serial-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_root = pattern;
    m_sysfs = m_root + "/sys";
    m_dev = m_root + "/dev";
    fs::create_directories(m_sysfs + "/class/tty");
    fs::create_directories(m_dev);
    setenv("KXSERIAL_SYSFS_ROOT", m_sysfs.c_str(), 1);
    setenv("KXSERIAL_DEV_ROOT", m_dev.c_str(), 1);
}

FakeDevices::~FakeDevices() {
    unsetenv("KXSERIAL_SYSFS_ROOT");
    unsetenv("KXSERIAL_DEV_ROOT");
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

void FakeDevices::AddUsbTty(const std::string& tty, const std::string& productFile,
                            const std::string& serialFile) {
    const std::string usb = "1-" + std::to_string(++m_usbDevices);
    const fs::path device = fs::path(m_sysfs) / "devices/pci0000:00/0000:00:14.0/usb1" / usb;
    const fs::path port = device / (usb + ":1.0") / tty;
    fs::create_directories(port / "tty" / tty);
    WriteFile(device / "idVendor", "0403\n");
    if (!productFile.empty()) {
        WriteFile(device / "product", productFile);
    }
    if (!serialFile.empty()) {
        WriteFile(device / "serial", serialFile);
    }
    const fs::path entry = fs::path(m_sysfs) / "class/tty" / tty;
    fs::create_directories(entry);
    fs::create_symlink(fs::relative(port, entry), entry / "device");
}

void FakeDevices::AddPlatformTty(const std::string& tty) {
    const fs::path device = fs::path(m_sysfs) / "devices/platform/serial8250";
    fs::create_directories(device / "tty" / tty);
    const fs::path entry = fs::path(m_sysfs) / "class/tty" / tty;
    fs::create_directories(entry);
    fs::create_symlink(device, entry / "device");
}

void FakeDevices::RemoveSysfsEntry(const std::string& tty) {
    fs::remove_all(fs::path(m_sysfs) / "class/tty" / tty);
}

void FakeDevices::LinkNode(const std::string& tty, const std::string& target) {
    RemoveNode(tty);
    fs::create_symlink(target, fs::path(m_dev) / tty);
}

void FakeDevices::RemoveNode(const std::string& tty) {
    std::error_code ignored;
    fs::remove(fs::path(m_dev) / tty, ignored);
}

}  // namespace kxserial::test
