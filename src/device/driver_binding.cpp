#include "driver_binding.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "string_table.h"

namespace kx {

const char* const kEntryPointNames[kEntryPointCount] = {
    "FT_Write",
    "FT_Read",
    "FT_Open",
    "FT_OpenEx",
    "FT_ListDevices",
    "FT_Close",
    "FT_ResetDevice",
    "FT_Purge",
    "FT_SetTimeouts",
    "FT_GetQueueStatus",
    "FT_GetStatus",
    "FT_SetBaudRate",
    "FT_SetDataCharacteristics",
    "FT_SetFlowControl",
    "FT_SetDivisor",
    "FT_SetEventNotification",
};

const char* const kOptionalEntryPointNames[kOptionalEntryPointCount] = {
    "FT_SetLatencyTimer",
    "FT_GetLatencyTimer",
};

DriverTable g_driver{};
bool g_driverLoaded = false;
std::atomic<FT_HANDLE> g_hDevice{nullptr};

namespace {

// Set by a successful open, cleared by close. The handle of a closed device is never
// passed to the driver: the vendor's library does not promise to reject it.
std::atomic<bool> g_deviceOpen{false};
// Held by a close and by the poll thread's event registration, the one driver call made
// off the window's thread: the registration's check that the device is open and its call
// cannot straddle a close.
std::mutex g_closeMutex;

std::mutex g_sinkMutex;
MessageBoxSink g_messageBox;

std::string g_boundDriverPath;

bool IsDefaultName(const char* libraryName) {
    return std::strcmp(libraryName, platform::kDriverLibraryName) == 0;
}

void ShowNotValid(EntryPoint which) {
    MessageBoxSink sink;
    {
        std::lock_guard lock(g_sinkMutex);
        sink = g_messageBox;
    }
    if (sink) {
        sink(std::string(kEntryPointNames[which]) + " is not valid!");
    }
}

// Resolves the entry point or shows its message; nullptr means "return 1".
template <typename Fn>
Fn Entry(EntryPoint which) {
    void* address = g_driver.entry[which];
    if (address == nullptr) {
        ShowNotValid(which);
        return nullptr;
    }
    return reinterpret_cast<Fn>(address);
}

// Calls `which` with the device handle first, when the entry point and the device are there.
template <typename Fn, typename... Args>
FT_STATUS CallWithDevice(EntryPoint which, Args... args) {
    Fn fn = Entry<Fn>(which);
    if (fn == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (!g_deviceOpen.load()) {
        return FT_DEVICE_NOT_OPENED;
    }
    return fn(g_hDevice.load(), args...);
}

// An optional entry point, called with the device handle first; FT_NOT_SUPPORTED when
// the driver lacks it.
template <typename Fn, typename... Args>
FT_STATUS CallOptional(OptionalEntryPoint which, Args... args) {
    void* address = g_driver.optional[which];
    if (address == nullptr) {
        return FT_NOT_SUPPORTED;
    }
    if (!g_deviceOpen.load()) {
        return FT_DEVICE_NOT_OPENED;
    }
    return reinterpret_cast<Fn>(address)(g_hDevice.load(), args...);
}

}  // namespace

void SetDriverMessageBox(MessageBoxSink sink) {
    std::lock_guard lock(g_sinkMutex);
    g_messageBox = std::move(sink);
}

platform::LibraryHandle LoadDriverLibrary(const char* libraryName) {
    if (!IsDefaultName(libraryName)) {
        return platform::LoadLibraryByName(libraryName);
    }
    const char* chosen = std::getenv(kDriverChoiceVariable);
    if (chosen != nullptr && *chosen != '\0') {
        const std::string name = std::strcmp(chosen, "serial") == 0
                                     ? platform::InstalledSerialLibraryPath()
                                     : std::string(chosen);
        return name.empty() ? nullptr : platform::LoadLibraryByName(name.c_str());
    }
    platform::LibraryHandle library = platform::LoadLibraryByName(libraryName);
    if (library == nullptr) {
        const std::string installed = platform::InstalledSerialLibraryPath();
        if (!installed.empty()) {
            library = platform::LoadLibraryByName(installed.c_str());
        }
    }
    return library;
}

const std::string& BoundDriverPath() {
    return g_boundDriverPath;
}

bool BindDriver(const char* libraryName, platform::LibraryHandle& library,
                const MessageBoxSink& report) {
    g_driverLoaded = true;
    library = LoadDriverLibrary(libraryName);
    g_boundDriverPath = platform::LoadedLibraryPath(library);
    if (library == nullptr) {
        report(text::kCantLoadDriver);
        g_driverLoaded = false;
        return false;
    }
    if (IsDefaultName(libraryName)) {
        std::fprintf(stderr, "KX Upgrade: driver library %s\n", g_boundDriverPath.c_str());
    }
    for (int i = 0; i < kEntryPointCount; ++i) {
        g_driver.entry[i] = platform::FindEntryPoint(library, kEntryPointNames[i]);
        if (g_driver.entry[i] == nullptr) {
            report(std::string("Error: Can't Find ") + kEntryPointNames[i]);
            g_driverLoaded = false;
            return false;
        }
    }
    for (int i = 0; i < kOptionalEntryPointCount; ++i) {
        g_driver.optional[i] = platform::FindEntryPoint(library, kOptionalEntryPointNames[i]);
    }
    return true;
}

void UnbindDriverForTesting() {
    g_driver = DriverTable{};
    g_driverLoaded = false;
    g_deviceOpen = false;
    g_hDevice = nullptr;
    g_boundDriverPath.clear();
}

bool DeviceIsOpen() {
    return g_deviceOpen.load();
}

FT_STATUS DrvRead(LPVOID buffer, DWORD count, LPDWORD got) {
    return CallWithDevice<PFN_FT_Read>(kFT_Read, buffer, count, got);
}

FT_STATUS DrvWrite(LPVOID buffer, DWORD count, LPDWORD written) {
    return CallWithDevice<PFN_FT_Write>(kFT_Write, buffer, count, written);
}

FT_STATUS DrvOpenEx(PVOID arg, DWORD flags) {
    auto fn = Entry<PFN_FT_OpenEx>(kFT_OpenEx);
    if (fn == nullptr) {
        return FT_INVALID_HANDLE;
    }
    FT_HANDLE handle = g_hDevice.load();
    FT_STATUS status = fn(arg, flags, &handle);
    if (status == FT_OK) {
        g_hDevice = handle;
        g_deviceOpen = true;
    }
    return status;
}

FT_STATUS DrvClose() {
    std::lock_guard lock(g_closeMutex);
    FT_STATUS status = CallWithDevice<PFN_FT_Close>(kFT_Close);
    g_deviceOpen = false;
    return status;
}

FT_STATUS DrvResetDevice() {
    return CallWithDevice<PFN_FT_ResetDevice>(kFT_ResetDevice);
}

FT_STATUS DrvPurge(ULONG mask) {
    return CallWithDevice<PFN_FT_Purge>(kFT_Purge, mask);
}

FT_STATUS DrvSetTimeouts(ULONG readMs, ULONG writeMs) {
    return CallWithDevice<PFN_FT_SetTimeouts>(kFT_SetTimeouts, readMs, writeMs);
}

FT_STATUS DrvGetStatus(DWORD* rx, DWORD* tx, DWORD* events) {
    return CallWithDevice<PFN_FT_GetStatus>(kFT_GetStatus, rx, tx, events);
}

FT_STATUS DrvSetBaudRate(ULONG baud) {
    return CallWithDevice<PFN_FT_SetBaudRate>(kFT_SetBaudRate, baud);
}

FT_STATUS DrvSetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity) {
    return CallWithDevice<PFN_FT_SetDataCharacteristics>(kFT_SetDataCharacteristics, bits, stop,
                                                         parity);
}

FT_STATUS DrvSetFlowControl(USHORT mode, UCHAR xon, UCHAR xoff) {
    return CallWithDevice<PFN_FT_SetFlowControl>(kFT_SetFlowControl, mode, xon, xoff);
}

FT_STATUS DrvSetDivisor(USHORT divisor) {
    return CallWithDevice<PFN_FT_SetDivisor>(kFT_SetDivisor, divisor);
}

FT_STATUS DrvSetEventNotification(DWORD mask, PVOID event) {
    std::lock_guard lock(g_closeMutex);
    return CallWithDevice<PFN_FT_SetEventNotification>(kFT_SetEventNotification, mask, event);
}

FT_STATUS DrvSetLatencyTimer(UCHAR ms) {
    return CallOptional<PFN_FT_SetLatencyTimer>(kFT_SetLatencyTimer, ms);
}

FT_STATUS DrvGetLatencyTimer(UCHAR* ms) {
    return CallOptional<PFN_FT_GetLatencyTimer>(kFT_GetLatencyTimer, ms);
}

FT_STATUS DrvListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    auto fn = Entry<PFN_FT_ListDevices>(kFT_ListDevices);
    if (fn == nullptr) {
        return FT_INVALID_HANDLE;
    }
    return fn(arg1, arg2, flags);
}

}  // namespace kx
