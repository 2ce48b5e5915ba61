// The built serial library, loaded at run time as the tool loads a driver, with its
// sixteen entry points.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "d2xx_api.h"

namespace kxserial::test {

struct SerialDriver {
    SerialDriver() : library(dlopen(KX_SERIAL_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
        if (library == nullptr) {
            throw std::runtime_error(std::string("cannot load ") + KX_SERIAL_LIBRARY);
        }
    }

    template <typename Fn>
    Fn Entry(const char* name) const {
        void* address = dlsym(library, name);
        if (address == nullptr) {
            throw std::runtime_error(std::string("missing ") + name);
        }
        return reinterpret_cast<Fn>(address);
    }

    void* library;
    PFN_FT_Write Write = Entry<PFN_FT_Write>("FT_Write");
    PFN_FT_Read Read = Entry<PFN_FT_Read>("FT_Read");
    PFN_FT_Open Open = Entry<PFN_FT_Open>("FT_Open");
    PFN_FT_OpenEx OpenEx = Entry<PFN_FT_OpenEx>("FT_OpenEx");
    PFN_FT_ListDevices ListDevices = Entry<PFN_FT_ListDevices>("FT_ListDevices");
    PFN_FT_Close Close = Entry<PFN_FT_Close>("FT_Close");
    PFN_FT_ResetDevice ResetDevice = Entry<PFN_FT_ResetDevice>("FT_ResetDevice");
    PFN_FT_Purge Purge = Entry<PFN_FT_Purge>("FT_Purge");
    PFN_FT_SetTimeouts SetTimeouts = Entry<PFN_FT_SetTimeouts>("FT_SetTimeouts");
    PFN_FT_GetQueueStatus GetQueueStatus = Entry<PFN_FT_GetQueueStatus>("FT_GetQueueStatus");
    PFN_FT_GetStatus GetStatus = Entry<PFN_FT_GetStatus>("FT_GetStatus");
    PFN_FT_SetBaudRate SetBaudRate = Entry<PFN_FT_SetBaudRate>("FT_SetBaudRate");
    PFN_FT_SetDataCharacteristics SetDataCharacteristics =
        Entry<PFN_FT_SetDataCharacteristics>("FT_SetDataCharacteristics");
    PFN_FT_SetFlowControl SetFlowControl = Entry<PFN_FT_SetFlowControl>("FT_SetFlowControl");
    PFN_FT_SetDivisor SetDivisor = Entry<PFN_FT_SetDivisor>("FT_SetDivisor");
    PFN_FT_SetEventNotification SetEventNotification =
        Entry<PFN_FT_SetEventNotification>("FT_SetEventNotification");

    FT_STATUS OpenDongle(FT_HANDLE* handle) const {
        char description[] = "KX Upgrade - Dongle";
        return OpenEx(description, FT_OPEN_BY_DESCRIPTION, handle);
    }
};

}  // namespace kxserial::test
