#include "fake_driver.h"

#include <cstring>

namespace kx::test {
namespace {

FakeDevice g_fake;
char g_handle;

FT_STATUS Status() {
    return g_fake.open ? FT_OK : FT_INVALID_HANDLE;
}

FT_STATUS KX_D2XX_CALL Write(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD written) {
    const std::string_view bytes(static_cast<const char*>(buffer), count);
    g_fake.writes.emplace_back(bytes);
    if (g_fake.stickAtNextWrite) {
        g_fake.stuckTx = count;
    }
    if (g_fake.writesQueue) {
        g_fake.tx += count;
    }
    *written = count;
    if (g_fake.onWrite) {
        g_fake.onWrite(bytes);
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL Read(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD got) {
    ++g_fake.reads;
    *got = 0;
    if (g_fake.failingReads > 0) {
        --g_fake.failingReads;
        std::memset(buffer, g_fake.staleByte, count);
        return g_fake.failingStatus;
    }
    if (g_fake.rx.empty()) {
        ++g_fake.readsWithNothingPending;
        return Status();  // the read time-out ran out
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (*got < count && !g_fake.rx.empty()) {
        bytes[(*got)++] = g_fake.rx.front();
        g_fake.rx.pop_front();
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL Open(int, FT_HANDLE* handle) {
    *handle = &g_handle;
    g_fake.open = true;
    if (g_fake.onOpen) {
        g_fake.onOpen();
    }
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

FT_STATUS KX_D2XX_CALL NoArgs(FT_HANDLE) {
    return Status();
}

FT_STATUS KX_D2XX_CALL Purge(FT_HANDLE, ULONG mask) {
    if (mask & FT_PURGE_RX) {
        g_fake.rx.clear();
    }
    if (mask & FT_PURGE_TX) {
        g_fake.tx = 0;
    }
    if (g_fake.onPurge) {
        g_fake.onPurge(mask);
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL Timeouts(FT_HANDLE, ULONG, ULONG) {
    return Status();
}

FT_STATUS KX_D2XX_CALL QueueStatus(FT_HANDLE, DWORD* rx) {
    *rx = static_cast<DWORD>(g_fake.rx.size());
    return Status();
}

FT_STATUS KX_D2XX_CALL GetStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    if (g_fake.failNextStatus) {
        g_fake.failNextStatus = false;
        g_fake.open = false;
        return FT_IO_ERROR;
    }
    *rx = static_cast<DWORD>(g_fake.rx.size()) + (g_fake.failingReads > 0 ? 1 : 0);
    *tx = g_fake.stuckTx != 0 ? g_fake.stuckTx : g_fake.tx;
    *events = 0;
    if (g_fake.drain == FakeDevice::Drain::Halve) {
        g_fake.tx /= 2;
    } else if (g_fake.tx > 0) {
        --g_fake.tx;
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL BaudRate(FT_HANDLE, ULONG) {
    if (g_fake.onSpeed) {
        g_fake.onSpeed(false);
    }
    return Status();
}

FT_STATUS KX_D2XX_CALL Characteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
    return Status();
}

FT_STATUS KX_D2XX_CALL Flow(FT_HANDLE, USHORT, UCHAR, UCHAR) {
    return Status();
}

FT_STATUS KX_D2XX_CALL Divisor(FT_HANDLE, USHORT) {
    if (g_fake.onSpeed) {
        g_fake.onSpeed(true);
    }
    return Status();
}

// Called by the poll thread: it must not touch the state the window's thread owns.
FT_STATUS KX_D2XX_CALL Event(FT_HANDLE, DWORD, PVOID) {
    return FT_OK;
}

template <typename Fn>
void Set(EntryPoint entry, Fn fn) {
    g_driver.entry[entry] = reinterpret_cast<void*>(fn);
}

}  // namespace

FakeDevice& Fake() {
    return g_fake;
}

void ResetFakeDevice() {
    static const FakeDevice fresh{};
    g_fake = fresh;
}

void InstallFakeDriver() {
    UnbindDriverForTesting();
    ResetFakeDevice();
    Set<PFN_FT_Write>(kFT_Write, &Write);
    Set<PFN_FT_Read>(kFT_Read, &Read);
    Set<PFN_FT_Open>(kFT_Open, &Open);
    Set<PFN_FT_OpenEx>(kFT_OpenEx, &OpenEx);
    Set<PFN_FT_ListDevices>(kFT_ListDevices, &ListDevices);
    Set<PFN_FT_Close>(kFT_Close, &Close);
    Set<PFN_FT_ResetDevice>(kFT_ResetDevice, &NoArgs);
    Set<PFN_FT_Purge>(kFT_Purge, &Purge);
    Set<PFN_FT_SetTimeouts>(kFT_SetTimeouts, &Timeouts);
    Set<PFN_FT_GetQueueStatus>(kFT_GetQueueStatus, &QueueStatus);
    Set<PFN_FT_GetStatus>(kFT_GetStatus, &GetStatus);
    Set<PFN_FT_SetBaudRate>(kFT_SetBaudRate, &BaudRate);
    Set<PFN_FT_SetDataCharacteristics>(kFT_SetDataCharacteristics, &Characteristics);
    Set<PFN_FT_SetFlowControl>(kFT_SetFlowControl, &Flow);
    Set<PFN_FT_SetDivisor>(kFT_SetDivisor, &Divisor);
    Set<PFN_FT_SetEventNotification>(kFT_SetEventNotification, &Event);
    g_driverLoaded = true;
}

}  // namespace kx::test
