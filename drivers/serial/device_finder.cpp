#include "device_finder.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <tuple>

namespace kxserial {

namespace fs = std::filesystem;

namespace {

std::string EnvironmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

bool StrictlyBelow(const fs::path& path, const fs::path& root) {
    auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end() && pathAt != path.end();
}

// The USB device folder above a tty's device, staying inside the sysfs tree.
std::optional<fs::path> UsbDeviceOf(const fs::path& ttyEntry, const fs::path& sysfsRoot) {
    std::error_code error;
    fs::path device = fs::canonical(ttyEntry / "device", error);
    if (error) {
        return std::nullopt;
    }
    for (fs::path at = device; StrictlyBelow(at, sysfsRoot); at = at.parent_path()) {
        if (fs::exists(at / "idVendor", error)) {
            return at;
        }
    }
    return std::nullopt;
}

// "ttyUSB10" -> ("ttyUSB", 10): names with numbers sort as people expect.
bool NameBefore(const std::string& a, const std::string& b) {
    auto split = [](const std::string& name) {
        std::size_t digits = name.size();
        while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') {
            --digits;
        }
        const std::string number = name.substr(digits);
        return std::make_tuple(name.substr(0, digits), number.size(), number);
    };
    return split(a) < split(b);
}

}  // namespace

DeviceRoots DeviceRoots::FromEnvironment() {
    DeviceRoots roots;
    roots.sysfs = EnvironmentOr("KXSERIAL_SYSFS_ROOT", "/sys");
    roots.dev = EnvironmentOr("KXSERIAL_DEV_ROOT", "/dev");
    return roots;
}

std::string ReadAttribute(const std::string& path) {
    // A sysfs attribute is at most a page long.
    char buffer[4096];
    std::ifstream in(path, std::ios::binary);
    in.read(buffer, sizeof buffer);
    std::string text(buffer, static_cast<std::size_t>(in.gcount()));
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

std::uint32_t UsbLocation(const std::string& deviceName) {
    const std::size_t dash = deviceName.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == deviceName.size()) {
        return 0;
    }
    std::uint32_t location = 0;
    std::uint32_t number = 0;
    int digits = 0;    // hex digits the location holds so far
    bool any = false;  // the current number has a digit
    for (std::size_t i = 0; i <= deviceName.size(); ++i) {
        const char c = i < deviceName.size() ? deviceName[i] : '.';
        if (c >= '0' && c <= '9') {
            number = number * 10 + static_cast<std::uint32_t>(c - '0');
            if (number > 0xFFFF) {
                return 0;
            }
            any = true;
            continue;
        }
        if (!any || (c != '.' && !(c == '-' && i == dash))) {
            return 0;
        }
        // The bus takes as many digits as it needs, each port one.
        const int width = i == dash ? (number > 0xF ? (number > 0xFF ? 3 : 2) : 1) : 1;
        if ((i != dash && number > 0xF) || digits + width > 8) {
            return 0;
        }
        location = (location << (4 * width)) | number;
        digits += width;
        number = 0;
        any = false;
    }
    return location;
}

std::vector<UsbTty> FindUsbTtys(const DeviceRoots& roots) {
    std::vector<UsbTty> found;
    std::error_code error;
    const fs::path sysfsRoot = fs::canonical(roots.sysfs, error);
    if (error) {
        return found;
    }
    for (const fs::directory_entry& entry :
         fs::directory_iterator(sysfsRoot / "class" / "tty", error)) {
        const std::optional<fs::path> usb = UsbDeviceOf(entry.path(), sysfsRoot);
        if (!usb) {
            continue;
        }
        found.push_back(UsbTty{
            entry.path().filename().string(), ReadAttribute((*usb / "product").string()),
            ReadAttribute((*usb / "serial").string()), UsbLocation(usb->filename().string())});
    }
    std::sort(found.begin(), found.end(),
              [](const UsbTty& a, const UsbTty& b) { return NameBefore(a.name, b.name); });
    return found;
}

}  // namespace kxserial
