// The D2XX entry points, bound the way the tool binds them: dlopen("libftd2xx.so") and a
// look-up by name. The test executable is linked against the simulator, so this resolves
// to the very instance that kxsim_* controls.
#pragma once

#include "d2xx_api.h"

struct D2xx {
    PFN_FT_Write Write;
    PFN_FT_Read Read;
    PFN_FT_Open Open;
    PFN_FT_OpenEx OpenEx;
    PFN_FT_ListDevices ListDevices;
    PFN_FT_Close Close;
    PFN_FT_ResetDevice ResetDevice;
    PFN_FT_Purge Purge;
    PFN_FT_SetTimeouts SetTimeouts;
    PFN_FT_GetQueueStatus GetQueueStatus;
    PFN_FT_GetStatus GetStatus;
    PFN_FT_SetBaudRate SetBaudRate;
    PFN_FT_SetDataCharacteristics SetDataCharacteristics;
    PFN_FT_SetFlowControl SetFlowControl;
    PFN_FT_SetDivisor SetDivisor;
    PFN_FT_SetEventNotification SetEventNotification;

    // Aborts the test run if the library or an entry point cannot be found.
    static const D2xx& Get();
    // The library handle from dlopen, for further look-ups.
    static void* Library();
};
