/* A driver library with the D2XX entry points, for binding tests. Built once complete
 * and once without each entry point (KX_OMIT = its index). It records the calls it gets. */
#include <string.h>

#include "d2xx_api.h"

#ifdef _WIN32
#define KX_EXPORT __declspec(dllexport)
#else
#define KX_EXPORT __attribute__((visibility("default")))
#endif

static int g_calls;
static FT_HANDLE g_lastHandle;
static char g_lastCall[64];
static char g_device;

static FT_STATUS Record(const char* name, FT_HANDLE handle) {
    ++g_calls;
    g_lastHandle = handle;
    strncpy(g_lastCall, name, sizeof g_lastCall - 1);
    return FT_OK;
}

KX_EXPORT int stub_call_count(void) { return g_calls; }
KX_EXPORT const char* stub_last_call(void) { return g_lastCall; }
KX_EXPORT FT_HANDLE stub_last_handle(void) { return g_lastHandle; }
KX_EXPORT FT_HANDLE stub_device_handle(void) { return &g_device; }

#if KX_OMIT != 0
KX_EXPORT FT_STATUS FT_Write(FT_HANDLE h, LPVOID b, DWORD n, LPDWORD w) {
    (void)b;
    *w = n;
    return Record("FT_Write", h);
}
#endif
#if KX_OMIT != 1
KX_EXPORT FT_STATUS FT_Read(FT_HANDLE h, LPVOID b, DWORD n, LPDWORD got) {
    memset(b, 0, n);
    *got = n;
    return Record("FT_Read", h);
}
#endif
#if KX_OMIT != 2
KX_EXPORT FT_STATUS FT_Open(int n, FT_HANDLE* h) {
    (void)n;
    *h = &g_device;
    return Record("FT_Open", *h);
}
#endif
#if KX_OMIT != 3
KX_EXPORT FT_STATUS FT_OpenEx(PVOID arg, DWORD flags, FT_HANDLE* h) {
    if (flags != FT_OPEN_BY_DESCRIPTION || strcmp((const char*)arg, "KX Upgrade - Dongle") != 0) {
        return FT_DEVICE_NOT_FOUND;
    }
    *h = &g_device;
    return Record("FT_OpenEx", *h);
}
#endif
#if KX_OMIT != 4
KX_EXPORT FT_STATUS FT_ListDevices(PVOID a, PVOID b, DWORD f) {
    (void)a, (void)b, (void)f;
    return Record("FT_ListDevices", 0);
}
#endif
#if KX_OMIT != 5
KX_EXPORT FT_STATUS FT_Close(FT_HANDLE h) { return Record("FT_Close", h); }
#endif
#if KX_OMIT != 6
KX_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE h) { return Record("FT_ResetDevice", h); }
#endif
#if KX_OMIT != 7
KX_EXPORT FT_STATUS FT_Purge(FT_HANDLE h, ULONG m) {
    (void)m;
    return Record("FT_Purge", h);
}
#endif
#if KX_OMIT != 8
KX_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) {
    (void)r, (void)w;
    return Record("FT_SetTimeouts", h);
}
#endif
#if KX_OMIT != 9
KX_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE h, DWORD* rx) {
    *rx = 0;
    return Record("FT_GetQueueStatus", h);
}
#endif
#if KX_OMIT != 10
KX_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE h, DWORD* rx, DWORD* tx, DWORD* ev) {
    *rx = 0;
    *tx = 0;
    *ev = 0;
    return Record("FT_GetStatus", h);
}
#endif
#if KX_OMIT != 11
KX_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG b) {
    (void)b;
    return Record("FT_SetBaudRate", h);
}
#endif
#if KX_OMIT != 12
KX_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR w, UCHAR s, UCHAR p) {
    (void)w, (void)s, (void)p;
    return Record("FT_SetDataCharacteristics", h);
}
#endif
#if KX_OMIT != 13
KX_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT f, UCHAR on, UCHAR off) {
    (void)f, (void)on, (void)off;
    return Record("FT_SetFlowControl", h);
}
#endif
#if KX_OMIT != 14
KX_EXPORT FT_STATUS FT_SetDivisor(FT_HANDLE h, USHORT d) {
    (void)d;
    return Record("FT_SetDivisor", h);
}
#endif
#if KX_OMIT != 15
KX_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE h, DWORD m, PVOID e) {
    (void)m, (void)e;
    return Record("FT_SetEventNotification", h);
}
#endif
