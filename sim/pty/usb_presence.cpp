#include "usb_presence.h"

#include <filesystem>
#include <fstream>

namespace kxsim::pty {

namespace fs = std::filesystem;

namespace {

constexpr char kUsbDevice[] = "devices/kxsim-pty/usb1/1-1";

void WriteAttribute(const fs::path& path, const std::string& value) {
    std::ofstream(path, std::ios::binary) << value << '\n';
}

}  // namespace

void UsbPresence::Show(const std::string& slaveName) {
    Hide();
    const std::string& tty = m_folders.tty;
    if (!m_folders.sysfs.empty()) {
        const fs::path root(m_folders.sysfs);
        const fs::path device = root / kUsbDevice;
        const fs::path port = device / "1-1:1.0" / tty;
        fs::create_directories(port / "tty" / tty);
        WriteAttribute(device / "idVendor", "0403");
        WriteAttribute(device / "idProduct", "6001");
        WriteAttribute(device / "product", m_settings.description);
        WriteAttribute(device / "serial", m_settings.serial);
        const fs::path entry = root / "class" / "tty" / tty;
        fs::create_directories(entry);
        fs::create_symlink(fs::relative(port, entry), entry / "device");
    }
    if (!m_folders.dev.empty()) {
        fs::create_directories(m_folders.dev);
        fs::create_symlink(slaveName, fs::path(m_folders.dev) / tty);
    }
}

void UsbPresence::Hide() {
    std::error_code ignored;
    if (!m_folders.dev.empty()) {
        fs::remove(fs::path(m_folders.dev) / m_folders.tty, ignored);
    }
    if (!m_folders.sysfs.empty()) {
        const fs::path root(m_folders.sysfs);
        fs::remove_all(root / "class" / "tty" / m_folders.tty, ignored);
        fs::remove_all(root / "devices" / "kxsim-pty", ignored);
    }
}

}  // namespace kxsim::pty
