// The D2XX entry points, with the vendor library's C names and signatures.
#include <type_traits>

#include "d2xx_api.h"
#include "device_bank.h"
#include "kxsim.h"
#include "simulator.h"

using kxsim::DeviceBank;
using kxsim::Simulator;

namespace {

Simulator& Dongle(FT_HANDLE handle) {
    return DeviceBank::Get().ForHandle(handle);
}

}  // namespace

extern "C" {

KXSIM_API FT_STATUS KX_D2XX_CALL FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD count,
                                          LPDWORD written) {
    return Dongle(handle).Write(handle, buffer, count, written);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD count,
                                         LPDWORD got) {
    return Dongle(handle).Read(handle, buffer, count, got);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_Open(int index, FT_HANDLE* handle) {
    return DeviceBank::Get().Open(index, handle);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_OpenEx(PVOID arg, DWORD flags, FT_HANDLE* handle) {
    return DeviceBank::Get().OpenEx(arg, flags, handle);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    return DeviceBank::Get().ListDevices(arg1, arg2, flags);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_Close(FT_HANDLE handle) {
    return Dongle(handle).Close(handle);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_ResetDevice(FT_HANDLE handle) {
    return Dongle(handle).ResetDevice(handle);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask) {
    return Dongle(handle).Purge(handle, mask);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
    return Dongle(handle).SetTimeouts(handle, readMs, writeMs);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_GetQueueStatus(FT_HANDLE handle, DWORD* rx) {
    return Dongle(handle).GetQueueStatus(handle, rx);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_GetStatus(FT_HANDLE handle, DWORD* rx, DWORD* tx,
                                              DWORD* events) {
    return Dongle(handle).GetStatus(handle, rx, tx, events);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
    return Dongle(handle).SetBaudRate(handle, baud);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength,
                                                           UCHAR stopBits, UCHAR parity) {
    return Dongle(handle).SetDataCharacteristics(handle, wordLength, stopBits, parity);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetFlowControl(FT_HANDLE handle, USHORT mode, UCHAR xon,
                                                   UCHAR xoff) {
    return Dongle(handle).SetFlowControl(handle, mode, xon, xoff);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetDivisor(FT_HANDLE handle, USHORT divisor) {
    return Dongle(handle).SetDivisor(handle, divisor);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetEventNotification(FT_HANDLE handle, DWORD mask,
                                                         PVOID event) {
    return Dongle(handle).SetEventNotification(handle, mask, event);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    return Dongle(handle).SetLatencyTimer(handle, ms);
}

KXSIM_API FT_STATUS KX_D2XX_CALL FT_GetLatencyTimer(FT_HANDLE handle, UCHAR* ms) {
    return Dongle(handle).GetLatencyTimer(handle, ms);
}

}  // extern "C"

// The tool binds these through the pointer types it declares: keep them identical.
static_assert(std::is_same_v<decltype(&FT_Write), PFN_FT_Write>);
static_assert(std::is_same_v<decltype(&FT_Read), PFN_FT_Read>);
static_assert(std::is_same_v<decltype(&FT_Open), PFN_FT_Open>);
static_assert(std::is_same_v<decltype(&FT_OpenEx), PFN_FT_OpenEx>);
static_assert(std::is_same_v<decltype(&FT_ListDevices), PFN_FT_ListDevices>);
static_assert(std::is_same_v<decltype(&FT_Close), PFN_FT_Close>);
static_assert(std::is_same_v<decltype(&FT_ResetDevice), PFN_FT_ResetDevice>);
static_assert(std::is_same_v<decltype(&FT_Purge), PFN_FT_Purge>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), PFN_FT_SetTimeouts>);
static_assert(std::is_same_v<decltype(&FT_GetQueueStatus), PFN_FT_GetQueueStatus>);
static_assert(std::is_same_v<decltype(&FT_GetStatus), PFN_FT_GetStatus>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), PFN_FT_SetBaudRate>);
static_assert(std::is_same_v<decltype(&FT_SetDataCharacteristics), PFN_FT_SetDataCharacteristics>);
static_assert(std::is_same_v<decltype(&FT_SetFlowControl), PFN_FT_SetFlowControl>);
static_assert(std::is_same_v<decltype(&FT_SetDivisor), PFN_FT_SetDivisor>);
static_assert(std::is_same_v<decltype(&FT_SetEventNotification), PFN_FT_SetEventNotification>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), PFN_FT_SetLatencyTimer>);
static_assert(std::is_same_v<decltype(&FT_GetLatencyTimer), PFN_FT_GetLatencyTimer>);
