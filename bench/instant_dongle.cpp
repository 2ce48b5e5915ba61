#include "instant_dongle.h"

#include <string>

#include "device/driver_binding.h"

namespace kx::bench {

namespace {

constexpr char kAnnouncement[] = "\r\n\r\nKX INSTANT DONGLE\r\n\x11";
constexpr char kNext = static_cast<char>(0xA9);

struct Device {
    std::string rx;  // waiting for the host
    std::size_t rxPos = 0;
    bool bulk = false;
    bool switchTaken = false;
    bool hold = false;
    bool announce = false;
    std::uint64_t written = 0;
    int handle = 0;
} g_device;

void Queue(std::string_view bytes) {
    if (g_device.rxPos == g_device.rx.size()) {
        g_device.rx.clear();
        g_device.rxPos = 0;
    }
    g_device.rx.append(bytes);
}

FT_STATUS KX_D2XX_CALL Write(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD written) {
    *written = count;
    g_device.written += count;
    if (g_device.hold) {
        return FT_OK;
    }
    if (g_device.bulk) {
        Queue(std::string_view(&kNext, 1));
    } else if (count > 0 && static_cast<const char*>(buffer)[0] == 'Z') {
        g_device.switchTaken = true;
    }
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Read(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD got) {
    const std::size_t n = std::min<std::size_t>(count, g_device.rx.size() - g_device.rxPos);
    g_device.rx.copy(static_cast<char*>(buffer), n, g_device.rxPos);
    g_device.rxPos += n;
    *got = static_cast<DWORD>(n);
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Open(int, FT_HANDLE* handle) {
    *handle = &g_device.handle;
    g_device.bulk = false;
    g_device.announce = true;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL OpenEx(PVOID, DWORD, FT_HANDLE* handle) {
    return Open(0, handle);
}

FT_STATUS KX_D2XX_CALL ListDevices(PVOID, PVOID, DWORD) {
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL NoArgs(FT_HANDLE) {
    return FT_OK;
}

// The device announces itself once the host, freshly connected, has emptied its receive
// queue; the erase is instant, so the switch record is answered as soon as the host
// listens again.
FT_STATUS KX_D2XX_CALL Purge(FT_HANDLE, ULONG mask) {
    if (mask & FT_PURGE_RX) {
        g_device.rx.clear();
        g_device.rxPos = 0;
        if (g_device.announce) {
            g_device.announce = false;
            Queue(kAnnouncement);
        }
        if (g_device.bulk && g_device.switchTaken) {
            g_device.switchTaken = false;
            Queue(std::string_view(&kNext, 1));
        }
    }
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Timeouts(FT_HANDLE, ULONG, ULONG) {
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL QueueStatus(FT_HANDLE, DWORD* rx) {
    *rx = static_cast<DWORD>(g_device.rx.size() - g_device.rxPos);
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL GetStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    *rx = static_cast<DWORD>(g_device.rx.size() - g_device.rxPos);
    *tx = g_device.hold ? 4096 : 0;
    *events = 0;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL BaudRate(FT_HANDLE, ULONG) {
    g_device.bulk = false;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL DataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL FlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) {
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Divisor(FT_HANDLE, USHORT) {
    g_device.bulk = true;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL EventNotification(FT_HANDLE, DWORD, PVOID) {
    return FT_OK;
}

template <typename Fn>
void* Entry(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

}  // namespace

void InstallInstantDongle() {
    g_device = Device{};
    for (void*& entry : g_driver.optional) {
        entry = nullptr;  // no latency timer: the device has no latency
    }
    g_driver.entry[kFT_Write] = Entry(&Write);
    g_driver.entry[kFT_Read] = Entry(&Read);
    g_driver.entry[kFT_Open] = Entry(&Open);
    g_driver.entry[kFT_OpenEx] = Entry(&OpenEx);
    g_driver.entry[kFT_ListDevices] = Entry(&ListDevices);
    g_driver.entry[kFT_Close] = Entry(&NoArgs);
    g_driver.entry[kFT_ResetDevice] = Entry(&NoArgs);
    g_driver.entry[kFT_Purge] = Entry(&Purge);
    g_driver.entry[kFT_SetTimeouts] = Entry(&Timeouts);
    g_driver.entry[kFT_GetQueueStatus] = Entry(&QueueStatus);
    g_driver.entry[kFT_GetStatus] = Entry(&GetStatus);
    g_driver.entry[kFT_SetBaudRate] = Entry(&BaudRate);
    g_driver.entry[kFT_SetDataCharacteristics] = Entry(&DataCharacteristics);
    g_driver.entry[kFT_SetFlowControl] = Entry(&FlowControl);
    g_driver.entry[kFT_SetDivisor] = Entry(&Divisor);
    g_driver.entry[kFT_SetEventNotification] = Entry(&EventNotification);
    g_driverLoaded = true;
}

void InstantSend(std::string_view bytes) {
    Queue(bytes);
}

std::size_t InstantPending() {
    return g_device.rx.size() - g_device.rxPos;
}

void InstantHold(bool hold) {
    g_device.hold = hold;
}

std::uint64_t InstantBytesWritten() {
    return g_device.written;
}

}  // namespace kx::bench
