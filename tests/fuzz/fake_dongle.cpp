#include "fake_dongle.h"

#include <cstring>

#include "device/driver_binding.h"

namespace kx::fuzz {

FakeDongle g_fake;

namespace {

FT_HANDLE Handle() {
    return &g_fake;
}

FT_STATUS Status() {
    return g_fake.open ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS KX_D2XX_CALL Write(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD written) {
    g_fake.writes.emplace_back(static_cast<const char*>(buffer), count);
    g_fake.txQueue += count;
    *written = count;
    return Status();
}

FT_STATUS KX_D2XX_CALL Read(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD got) {
    *got = 0;
    if (g_fake.failNextRead) {
        g_fake.failNextRead = false;
        return FT_IO_ERROR;
    }
    if (g_fake.received.empty()) {
        ++g_fake.readsWithNothingPending;
        return FT_OK;  // the read time-out ran out
    }
    auto* into = static_cast<std::uint8_t*>(buffer);
    while (*got < count && !g_fake.received.empty()) {
        into[(*got)++] = g_fake.received.front();
        g_fake.received.pop_front();
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL Open(int, FT_HANDLE* handle) {
    *handle = Handle();
    g_fake.open = true;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL OpenEx(PVOID, DWORD, FT_HANDLE* handle) {
    return Open(0, handle);
}

FT_STATUS KX_D2XX_CALL ListDevices(PVOID, PVOID, DWORD) {
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Close(FT_HANDLE) {
    g_fake.open = false;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Reset(FT_HANDLE) {
    return Status();
}

FT_STATUS KX_D2XX_CALL Purge(FT_HANDLE, ULONG mask) {
    if (mask & FT_PURGE_RX) {
        g_fake.received.clear();
    }
    if (mask & FT_PURGE_TX) {
        g_fake.txQueue = 0;
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL Timeouts(FT_HANDLE, ULONG, ULONG) {
    return Status();
}

FT_STATUS KX_D2XX_CALL QueueStatus(FT_HANDLE, DWORD* rx) {
    *rx = static_cast<DWORD>(g_fake.received.size());
    return Status();
}

// The transmit queue halves on every query, as if the line carried it away meanwhile.
FT_STATUS KX_D2XX_CALL GetStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    if (g_fake.failNextStatus) {
        g_fake.failNextStatus = false;
        g_fake.open = false;
        return FT_IO_ERROR;
    }
    *rx = static_cast<DWORD>(g_fake.received.size());
    *tx = g_fake.txQueue;
    *events = 0;
    g_fake.txQueue /= 2;
    return Status();
}

FT_STATUS KX_D2XX_CALL BaudRate(FT_HANDLE, ULONG) {
    return Status();
}

FT_STATUS KX_D2XX_CALL DataCharacteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
    return Status();
}

FT_STATUS KX_D2XX_CALL FlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) {
    return Status();
}

FT_STATUS KX_D2XX_CALL Divisor(FT_HANDLE, USHORT) {
    return Status();
}

// Called by the poll thread: it must not touch the state the window's thread owns.
FT_STATUS KX_D2XX_CALL EventNotification(FT_HANDLE, DWORD, PVOID) {
    return FT_OK;
}

template <typename Fn>
void* Entry(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

}  // namespace

void InstallFakeDriver() {
    g_driver.entry[kFT_Write] = Entry(&Write);
    g_driver.entry[kFT_Read] = Entry(&Read);
    g_driver.entry[kFT_Open] = Entry(&Open);
    g_driver.entry[kFT_OpenEx] = Entry(&OpenEx);
    g_driver.entry[kFT_ListDevices] = Entry(&ListDevices);
    g_driver.entry[kFT_Close] = Entry(&Close);
    g_driver.entry[kFT_ResetDevice] = Entry(&Reset);
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

}  // namespace kx::fuzz
