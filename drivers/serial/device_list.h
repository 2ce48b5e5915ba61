// Opening and listing devices the D2XX way, over the USB serial ttys the kernel shows.
#pragma once

#include "d2xx_api.h"

namespace kxserial {

// D2XX's FT_ListDevices flags.
inline constexpr DWORD kListNumberOnly = 0x80000000;  // FT_LIST_NUMBER_ONLY
inline constexpr DWORD kListByIndex = 0x40000000;     // FT_LIST_BY_INDEX
inline constexpr DWORD kListAll = 0x20000000;         // FT_LIST_ALL
// The size of the string buffers FT_ListDevices fills, the terminating zero included.
inline constexpr unsigned kListStringSize = 64;

// FT_OpenEx: by description or serial number (the whole string, as D2XX matches it) the
// first matching tty that can be opened; by location the tty at that USB location.
FT_STATUS OpenBy(PVOID arg, DWORD flags, FT_HANDLE* handle);
// FT_Open: the n-th USB serial tty in name order.
FT_STATUS OpenByIndex(int index, FT_HANDLE* handle);
FT_STATUS ListDevices(PVOID arg1, PVOID arg2, DWORD flags);

}  // namespace kxserial
