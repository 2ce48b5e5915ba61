#include "fake_driver.h"

#include <cstring>

namespace kx::test {
namespace {

FakeDevice g_fake;
char g_handle;

FT_STATUS KX_D2XX_CALL Write(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD written) {
    g_fake.writes.emplace_back(static_cast<const char*>(buffer), count);
    if (g_fake.stickAtNextWrite) {
        g_fake.stuckTx = count;
    }
    *written = count;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL Read(FT_HANDLE, LPVOID buffer, DWORD count, LPDWORD got) {
    ++g_fake.reads;
    if (g_fake.failingReads > 0) {
        --g_fake.failingReads;
        std::memset(buffer, g_fake.staleByte, count);
        *got = 0;
        return g_fake.failingStatus;
    }
    *got = 0;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    while (*got < count && !g_fake.rx.empty()) {
        bytes[(*got)++] = g_fake.rx.front();
        g_fake.rx.pop_front();
    }
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL OpenEx(PVOID, DWORD, FT_HANDLE* handle) {
    *handle = &g_handle;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL GetStatus(FT_HANDLE, DWORD* rx, DWORD* tx, DWORD* events) {
    *rx = static_cast<DWORD>(g_fake.rx.size()) + (g_fake.failingReads > 0 ? 1 : 0);
    *tx = g_fake.stuckTx != 0 ? g_fake.stuckTx : g_fake.tx;
    g_fake.tx = g_fake.tx > 0 ? g_fake.tx - 1 : 0;  // the queue drains slowly
    *events = 0;
    return FT_OK;
}

FT_STATUS KX_D2XX_CALL NoArgs(FT_HANDLE) {
    return FT_OK;
}
FT_STATUS KX_D2XX_CALL OneUlong(FT_HANDLE, ULONG) {
    return FT_OK;
}
FT_STATUS KX_D2XX_CALL TwoUlongs(FT_HANDLE, ULONG, ULONG) {
    return FT_OK;
}
FT_STATUS KX_D2XX_CALL Characteristics(FT_HANDLE, UCHAR, UCHAR, UCHAR) {
    return FT_OK;
}
FT_STATUS KX_D2XX_CALL Flow(FT_HANDLE, USHORT, UCHAR, UCHAR) {
    return FT_OK;
}
FT_STATUS KX_D2XX_CALL Divisor(FT_HANDLE, USHORT) {
    return FT_OK;
}
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

void InstallFakeDriver() {
    UnbindDriverForTesting();
    g_fake = FakeDevice{};
    Set<PFN_FT_Write>(kFT_Write, &Write);
    Set<PFN_FT_Read>(kFT_Read, &Read);
    Set<PFN_FT_OpenEx>(kFT_OpenEx, &OpenEx);
    Set<PFN_FT_Close>(kFT_Close, &NoArgs);
    Set<PFN_FT_ResetDevice>(kFT_ResetDevice, &NoArgs);
    Set<PFN_FT_Purge>(kFT_Purge, &OneUlong);
    Set<PFN_FT_SetTimeouts>(kFT_SetTimeouts, &TwoUlongs);
    Set<PFN_FT_GetStatus>(kFT_GetStatus, &GetStatus);
    Set<PFN_FT_SetBaudRate>(kFT_SetBaudRate, &OneUlong);
    Set<PFN_FT_SetDataCharacteristics>(kFT_SetDataCharacteristics, &Characteristics);
    Set<PFN_FT_SetFlowControl>(kFT_SetFlowControl, &Flow);
    Set<PFN_FT_SetDivisor>(kFT_SetDivisor, &Divisor);
    Set<PFN_FT_SetEventNotification>(kFT_SetEventNotification, &Event);
    g_driverLoaded = true;
}

}  // namespace kx::test
