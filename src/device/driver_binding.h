// The D2XX driver, bound at run time: the entry-point table, the process-wide device
// handle and the guarded calls through which the rest of the program reaches the device.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "d2xx_api.h"
#include "dynamic_library.h"

namespace kx {

// The sixteen entry points, in the order in which they are resolved.
enum EntryPoint : int {
    kFT_Write,
    kFT_Read,
    kFT_Open,
    kFT_OpenEx,
    kFT_ListDevices,
    kFT_Close,
    kFT_ResetDevice,
    kFT_Purge,
    kFT_SetTimeouts,
    kFT_GetQueueStatus,
    kFT_GetStatus,
    kFT_SetBaudRate,
    kFT_SetDataCharacteristics,
    kFT_SetFlowControl,
    kFT_SetDivisor,
    kFT_SetEventNotification,
    kEntryPointCount
};

extern const char* const kEntryPointNames[kEntryPointCount];

// Entry points a driver may lack: their absence is no error and shows nothing.
enum OptionalEntryPoint : int {
    kFT_SetLatencyTimer,
    kFT_GetLatencyTimer,
    kOptionalEntryPointCount
};

extern const char* const kOptionalEntryPointNames[kOptionalEntryPointCount];

struct DriverTable {
    void* entry[kEntryPointCount];
    void* optional[kOptionalEntryPointCount];
};

// Written only while binding (on the window's thread, before any poll thread exists).
extern DriverTable g_driver;
extern bool g_driverLoaded;
// The open device. Only a successful DrvOpenEx writes it; it keeps its value after close.
extern std::atomic<FT_HANDLE> g_hDevice;

// Where a guarded call with an empty entry point shows its message box.
using MessageBoxSink = std::function<void(const std::string& text)>;
void SetDriverMessageBox(MessageBoxSink sink);

// Names the driver library to use instead of the default choice: a path, a name for the
// loader's search, or "serial" for the serial-port library of the tool's installation.
inline constexpr char kDriverChoiceVariable[] = "KX_DRIVER";

// Loads the driver. The default name (kDriverLibraryName) follows KX_DRIVER when it is set;
// otherwise it goes through the loader's search, so that FTDI's library wins where it is
// installed, and where that fails the installation's serial-port library is loaded. Any
// other name is loaded exactly as given.
platform::LibraryHandle LoadDriverLibrary(const char* libraryName);

// The file the bound driver library came from (empty before a load), for the front ends.
const std::string& BoundDriverPath();

// Loads `libraryName` (LoadDriverLibrary) and resolves the entry points in order. On the first
// failure it reports "Error: Can't Load ft8u245.dll" or "Error: Can't Find <name>" through
// `report`, leaves the later entries empty and returns false. Sets g_driverLoaded either way. A
// load by the default name tells on stderr which file was loaded.
bool BindDriver(const char* libraryName, platform::LibraryHandle& library,
                const MessageBoxSink& report);

// Empties the table and forgets the open device (tests bind several libraries in turn).
void UnbindDriverForTesting();

// Guarded calls: the D2XX status, FT_OK (0) on success. An empty entry point shows
// "<FT_name> is not valid!" and returns 1. While no device is open every call but
// DrvOpenEx fails with FT_DEVICE_NOT_OPENED and reaches no driver.
FT_STATUS DrvRead(LPVOID buffer, DWORD count, LPDWORD got);
FT_STATUS DrvWrite(LPVOID buffer, DWORD count, LPDWORD written);
FT_STATUS DrvOpenEx(PVOID arg, DWORD flags);
FT_STATUS DrvClose();
FT_STATUS DrvResetDevice();
FT_STATUS DrvPurge(ULONG mask);
FT_STATUS DrvSetTimeouts(ULONG readMs, ULONG writeMs);
FT_STATUS DrvGetStatus(DWORD* rx, DWORD* tx, DWORD* events);
FT_STATUS DrvSetBaudRate(ULONG baud);
FT_STATUS DrvSetDataCharacteristics(UCHAR bits, UCHAR stop, UCHAR parity);
FT_STATUS DrvSetFlowControl(USHORT mode, UCHAR xon, UCHAR xoff);
FT_STATUS DrvSetDivisor(USHORT divisor);
FT_STATUS DrvSetEventNotification(DWORD mask, PVOID event);
// Names no device: works whether or not one is open.
FT_STATUS DrvListDevices(PVOID arg1, PVOID arg2, DWORD flags);

// The chip's latency timer, in milliseconds (FTDI chips take 2 to 255; some also 1). A driver
// without the entry point gives FT_NOT_SUPPORTED and shows no message.
FT_STATUS DrvSetLatencyTimer(UCHAR ms);
FT_STATUS DrvGetLatencyTimer(UCHAR* ms);

bool DeviceIsOpen();

}  // namespace kx
