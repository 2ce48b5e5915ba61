// FTDI D2XX conventions as the driver library exports them: types, status codes,
// constants and the entry-point signatures. Declared here so that the program never
// needs the vendor's header; shared with the driver libraries this project builds.
#pragma once

#ifdef _WIN32
#define KX_D2XX_CALL __stdcall
#else
#define KX_D2XX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// 32-bit unsigned on both platforms: `unsigned long` on Windows (LLP64), `unsigned int`
// on Linux (LP64), where `unsigned long` would be 64 bits and corrupt the out-arguments.
#ifdef _WIN32
typedef unsigned long DWORD;
typedef unsigned long ULONG;
#else
typedef unsigned int DWORD;
typedef unsigned int ULONG;
#endif
typedef unsigned short USHORT;
typedef unsigned char UCHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef PVOID FT_HANDLE;
typedef ULONG FT_STATUS;

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18
};

enum { FT_OPEN_BY_SERIAL_NUMBER = 1, FT_OPEN_BY_DESCRIPTION = 2, FT_OPEN_BY_LOCATION = 4 };

enum { FT_BITS_8 = 8, FT_BITS_7 = 7 };
enum { FT_STOP_BITS_1 = 0, FT_STOP_BITS_2 = 2 };
enum {
    FT_PARITY_NONE = 0,
    FT_PARITY_ODD = 1,
    FT_PARITY_EVEN = 2,
    FT_PARITY_MARK = 3,
    FT_PARITY_SPACE = 4
};
enum {
    FT_FLOW_NONE = 0x0000,
    FT_FLOW_RTS_CTS = 0x0100,
    FT_FLOW_DTR_DSR = 0x0200,
    FT_FLOW_XON_XOFF = 0x0400
};
enum { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };
enum { FT_EVENT_RXCHAR = 1, FT_EVENT_MODEM_STATUS = 2, FT_EVENT_LINE_STATUS = 4 };

#ifndef _WIN32
#include <pthread.h>
// The event object that FT_SetEventNotification takes on Linux.
typedef struct KX_EVENT_HANDLE {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
} KX_EVENT_HANDLE;
#endif

typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_Write)(FT_HANDLE, LPVOID, DWORD, LPDWORD);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_Read)(FT_HANDLE, LPVOID, DWORD, LPDWORD);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_Open)(int, FT_HANDLE*);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_OpenEx)(PVOID, DWORD, FT_HANDLE*);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_ListDevices)(PVOID, PVOID, DWORD);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_Close)(FT_HANDLE);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_ResetDevice)(FT_HANDLE);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_Purge)(FT_HANDLE, ULONG);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetTimeouts)(FT_HANDLE, ULONG, ULONG);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_GetQueueStatus)(FT_HANDLE, DWORD*);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_GetStatus)(FT_HANDLE, DWORD*, DWORD*, DWORD*);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetBaudRate)(FT_HANDLE, ULONG);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetDataCharacteristics)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetFlowControl)(FT_HANDLE, USHORT, UCHAR, UCHAR);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetDivisor)(FT_HANDLE, USHORT);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetEventNotification)(FT_HANDLE, DWORD, PVOID);
// Optional: not every driver has them.
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_SetLatencyTimer)(FT_HANDLE, UCHAR);
typedef FT_STATUS(KX_D2XX_CALL* PFN_FT_GetLatencyTimer)(FT_HANDLE, UCHAR*);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4, "D2XX DWORD/ULONG are 32 bits");
#endif
