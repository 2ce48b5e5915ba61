#include "device_list.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device_finder.h"
#include "handle_table.h"
#include "line_settings.h"
#include "serial_port.h"

namespace kxserial {

namespace {

FT_STATUS OpenTty(const DeviceRoots& roots, const UsbTty& tty, FT_HANDLE* handle) {
    std::shared_ptr<SerialPort> port;
    const FT_STATUS status = SerialPort::Open(roots, tty.name, port);
    if (status == FT_OK) {
        *handle = Handles().Add(std::move(port));
    }
    return status;
}

bool ListsAString(DWORD flags) {
    return (flags & (FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_SERIAL_NUMBER)) != 0;
}

// The string a listing or an open asks about: the description, else the serial number.
const std::string& ListedString(const UsbTty& tty, DWORD flags) {
    return (flags & FT_OPEN_BY_DESCRIPTION) != 0 ? tty.description : tty.serial;
}

void CopyListed(const std::string& text, char* out) {
    const std::size_t length = std::min<std::size_t>(text.size(), kListStringSize - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

}  // namespace

FT_STATUS OpenBy(PVOID arg, DWORD flags, FT_HANDLE* handle) {
    if (handle == nullptr || (arg == nullptr && flags != FT_OPEN_BY_LOCATION)) {
        return FT_INVALID_PARAMETER;
    }
    if (flags != FT_OPEN_BY_DESCRIPTION && flags != FT_OPEN_BY_SERIAL_NUMBER &&
        flags != FT_OPEN_BY_LOCATION) {
        return FT_INVALID_PARAMETER;
    }
    // By location the id travels in the pointer argument itself.
    const auto location = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg));
    const std::string wanted =
        flags == FT_OPEN_BY_LOCATION ? std::string() : std::string(static_cast<const char*>(arg));
    const DeviceRoots roots = DeviceRoots::FromEnvironment();
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    for (const UsbTty& tty : FindUsbTtys(roots)) {
        const bool match = flags == FT_OPEN_BY_LOCATION
                               ? tty.location != 0 && tty.location == location
                               : ListedString(tty, flags) == wanted;
        if (!match) {
            continue;
        }
        status = OpenTty(roots, tty, handle);
        if (status == FT_OK) {
            break;
        }
    }
    return status;
}

FT_STATUS OpenByIndex(int index, FT_HANDLE* handle) {
    if (handle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    const DeviceRoots roots = DeviceRoots::FromEnvironment();
    const std::vector<UsbTty> ttys = FindUsbTtys(roots);
    if (index < 0 || static_cast<std::size_t>(index) >= ttys.size()) {
        return FT_DEVICE_NOT_FOUND;
    }
    return OpenTty(roots, ttys[static_cast<std::size_t>(index)], handle);
}

FT_STATUS ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    const std::vector<UsbTty> ttys = FindUsbTtys(DeviceRoots::FromEnvironment());
    const auto count = static_cast<DWORD>(ttys.size());
    if ((flags & kListNumberOnly) != 0) {
        if (arg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *static_cast<DWORD*>(arg1) = count;
        return FT_OK;
    }
    const bool byLocation = (flags & FT_OPEN_BY_LOCATION) != 0 && !ListsAString(flags);
    if ((flags & (kListByIndex | kListAll)) == 0 || (!ListsAString(flags) && !byLocation) ||
        arg2 == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if ((flags & kListByIndex) != 0) {
        // The index travels in the pointer argument itself (so index 0 is a null pointer).
        const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(arg1));
        if (index >= count) {
            return FT_DEVICE_NOT_FOUND;
        }
        if (byLocation) {
            *static_cast<DWORD*>(arg2) = ttys[index].location;
        } else {
            CopyListed(ListedString(ttys[index], flags), static_cast<char*>(arg2));
        }
        return FT_OK;
    }
    if (byLocation) {
        // An array of location ids, one per device, and the count.
        if (arg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        for (DWORD i = 0; i < count; ++i) {
            static_cast<DWORD*>(arg1)[i] = ttys[i].location;
        }
        *static_cast<DWORD*>(arg2) = count;
        return FT_OK;
    }
    // An array of buffer pointers ended by a null pointer, and the count.
    auto* buffers = static_cast<char**>(arg1);
    if (buffers == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    for (DWORD i = 0; i < count && buffers[i] != nullptr; ++i) {
        CopyListed(ListedString(ttys[i], flags), buffers[i]);
    }
    *static_cast<DWORD*>(arg2) = count;
    return FT_OK;
}

}  // namespace kxserial
