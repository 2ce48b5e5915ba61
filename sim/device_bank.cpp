#include "device_bank.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exit_lock.h"
#include "settings.h"
#include "simulator.h"

namespace kxsim {
namespace {

// FT_ListDevices flags (D2XX).
constexpr DWORD kListNumberOnly = 0x80000000u;
constexpr DWORD kListByIndex = 0x40000000u;
constexpr DWORD kListAll = 0x20000000u;
constexpr std::size_t kListBufferSize = 64;  // D2XX's documented buffer size for one entry

constexpr char kStartVariable[] = "KXSIM_START_MS";

long long WallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The common start: inherited, or now (and then handed on to the processes started later).
long long CommonStart() {
    if (const char* text = std::getenv(kStartVariable); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        if (end != text && *end == '\0' && value > 0) {
            return value;
        }
        std::fprintf(stderr, "kxsim: %s is not a time in milliseconds: %s\n", kStartVariable, text);
    }
    const long long now = WallMs();
#ifdef _WIN32
    _putenv_s(kStartVariable, std::to_string(now).c_str());
#else
    ::setenv(kStartVariable, std::to_string(now).c_str(), 1);
#endif
    return now;
}

std::size_t CountFromEnvironment() {
    std::size_t count = 1;
    if (const char* serials = std::getenv("KXSIM_SERIALS"); serials != nullptr && *serials) {
        count =
            static_cast<std::size_t>(std::count(serials, serials + std::strlen(serials), ',')) + 1;
    }
    if (const char* text = std::getenv("KXSIM_DEVICES"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 10);
        if (end != text && *end == '\0' && value >= 1 && value <= kMaxDevices) {
            count = value;
        } else {
            std::fprintf(stderr, "kxsim: KXSIM_DEVICES takes 1 to %zu, not %s\n", kMaxDevices,
                         text);
        }
    }
    return count;
}

// KXSIM_SERIALS' entry for the dongle, or nothing beyond the list's end.
std::string SerialFromEnvironment(std::size_t index) {
    const char* serials = std::getenv("KXSIM_SERIALS");
    if (serials == nullptr || *serials == '\0') {
        return {};
    }
    const std::string_view list(serials);
    if (static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) < index) {
        return {};
    }
    return std::string(ListItem(list, index));
}

void CopyName(const std::string& name, void* buffer) {
    const std::size_t length = std::min(name.size(), kListBufferSize - 1);
    std::memcpy(buffer, name.data(), length);
    static_cast<char*>(buffer)[length] = '\0';
}

void DumpAtExit() {
    DeviceBank::Get().DumpAll();
}

}  // namespace

DeviceBank& DeviceBank::Get() {
    static DeviceBank* const bank = new DeviceBank();
    return *bank;
}

DeviceBank::DeviceBank() : m_startMs(CommonStart()) {
    m_count = CountFromEnvironment();
    for (std::size_t i = 0; i < m_count; ++i) {
        m_devices.push_back(
            std::make_unique<Simulator>(i, SerialFromEnvironment(i), SinceStartMs()));
    }
    std::atexit(DumpAtExit);
}

double DeviceBank::SinceStartMs() const {
    return static_cast<double>(WallMs() - m_startMs);
}

std::vector<Simulator*> DeviceBank::Devices() {
    std::lock_guard lock(m_mutex);
    std::vector<Simulator*> devices;
    for (std::size_t i = 0; i < m_count; ++i) {
        devices.push_back(m_devices[i].get());
    }
    return devices;
}

Simulator& DeviceBank::Selected() {
    std::lock_guard lock(m_mutex);
    return *m_devices[m_selected];
}

Simulator& DeviceBank::ForHandle(FT_HANDLE handle) {
    const std::size_t index = reinterpret_cast<std::uintptr_t>(handle) % 0x100;
    std::lock_guard lock(m_mutex);
    return *m_devices[index < m_count ? index : 0];
}

std::size_t DeviceBank::Count() {
    std::lock_guard lock(m_mutex);
    return m_count;
}

void DeviceBank::SetCount(std::size_t count) {
    count = std::clamp<std::size_t>(count, 1, kMaxDevices);
    std::vector<Simulator*> reset;
    {
        std::lock_guard lock(m_mutex);
        while (m_devices.size() < count) {
            m_devices.push_back(std::make_unique<Simulator>(m_devices.size(), "", -1.0));
        }
        m_count = count;
        m_selected = 0;
        for (std::size_t i = 0; i < count; ++i) {
            reset.push_back(m_devices[i].get());
        }
    }
    for (Simulator* device : reset) {
        device->Reset();
    }
}

bool DeviceBank::Select(std::size_t index) {
    std::lock_guard lock(m_mutex);
    if (index >= m_count) {
        return false;
    }
    m_selected = index;
    return true;
}

FT_STATUS DeviceBank::Open(int index, FT_HANDLE* handle) {
    const std::vector<Simulator*> devices = Devices();
    Simulator& device = index >= 0 && static_cast<std::size_t>(index) < devices.size()
                            ? *devices[static_cast<std::size_t>(index)]
                            : *devices[0];
    return device.Open(index, index >= 0 && static_cast<std::size_t>(index) < devices.size(),
                       handle);
}

FT_STATUS DeviceBank::OpenEx(const void* arg, DWORD flags, FT_HANDLE* handle) {
    const std::vector<Simulator*> devices = Devices();
    // The first dongle that answers and is free; "not opened" when all that answer are
    // open already.
    FT_STATUS failure = FT_DEVICE_NOT_FOUND;
    for (Simulator* device : devices) {
        const FT_STATUS status = device->OpenEx(arg, flags, handle, false);
        if (status == FT_OK) {
            return status;
        }
        if (status != FT_DEVICE_NOT_FOUND) {
            failure = status;
            if (status == FT_INVALID_PARAMETER) {
                break;
            }
        }
    }
    devices[0]->LogOpenEx(arg, flags, failure);
    return failure;
}

FT_STATUS DeviceBank::ListDevices(void* arg1, void* arg2, DWORD flags) {
    const std::vector<Simulator*> devices = Devices();
    // Which are plugged in first; names only of those asked for (a tool that lists a bank of
    // 64 by index asks 64 times over for each field).
    std::vector<Simulator*> present;
    const auto wall = std::chrono::steady_clock::now();
    for (Simulator* device : devices) {
        if (device->Listed(device == devices[0], wall)) {
            present.push_back(device);
        }
    }
    const auto fill = [flags](Simulator* device, void* buffer) {
        const DongleInfo info = device->Info();
        if ((flags & FT_OPEN_BY_LOCATION) != 0) {
            *static_cast<DWORD*>(buffer) = info.location;
        } else {
            CopyName((flags & FT_OPEN_BY_DESCRIPTION) != 0 ? info.description : info.serial,
                     buffer);
        }
    };
    if ((flags & kListNumberOnly) != 0) {
        if (arg1 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        *static_cast<DWORD*>(arg1) = static_cast<DWORD>(present.size());
        return FT_OK;
    }
    if ((flags & kListByIndex) != 0) {
        const auto index = reinterpret_cast<std::uintptr_t>(arg1);
        if (arg2 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        if (index >= present.size()) {
            return FT_DEVICE_NOT_FOUND;
        }
        fill(present[index], arg2);
        return FT_OK;
    }
    if ((flags & kListAll) != 0) {
        if (arg1 == nullptr || arg2 == nullptr) {
            return FT_INVALID_PARAMETER;
        }
        if ((flags & FT_OPEN_BY_LOCATION) != 0) {
            auto* locations = static_cast<DWORD*>(arg1);
            for (std::size_t i = 0; i < present.size(); ++i) {
                locations[i] = present[i]->Info().location;
            }
        } else {
            // An array of buffers ended by a null pointer, as D2XX takes it.
            auto** buffers = static_cast<char**>(arg1);
            for (std::size_t i = 0; i < present.size() && buffers[i] != nullptr; ++i) {
                fill(present[i], buffers[i]);
            }
        }
        *static_cast<DWORD*>(arg2) = static_cast<DWORD>(present.size());
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

void DeviceBank::DumpAll() {
    std::unique_lock lock(m_mutex, std::defer_lock);
    const bool locked = LockAtExit(lock);
    const std::size_t count = m_count;
    if (locked) {
        lock.unlock();
    }
    for (std::size_t i = 0; i < count; ++i) {
        m_devices[i]->DumpAtExit();
    }
}

}  // namespace kxsim
