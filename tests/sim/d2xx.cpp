#include "d2xx.h"

#include <cstdio>
#include <cstdlib>

#include "test_platform.h"

namespace {

template <class Fn>
void Bind(void* library, const char* name, Fn& slot) {
    void* symbol = kx::test::Symbol(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "missing entry point %s\n", name);
        std::abort();
    }
    slot = reinterpret_cast<Fn>(symbol);
}

}  // namespace

void* D2xx::Library() {
    static void* const library = [] {
        void* handle = kx::test::OpenLibrary(kx::test::kDriverFile);
        if (handle == nullptr) {
            std::fprintf(stderr, "cannot load %s\n", kx::test::kDriverFile);
            std::abort();
        }
        return handle;
    }();
    return library;
}

const D2xx& D2xx::Get() {
    static const D2xx d2xx = [] {
        void* library = Library();
        D2xx table{};
        Bind(library, "FT_Write", table.Write);
        Bind(library, "FT_Read", table.Read);
        Bind(library, "FT_Open", table.Open);
        Bind(library, "FT_OpenEx", table.OpenEx);
        Bind(library, "FT_ListDevices", table.ListDevices);
        Bind(library, "FT_Close", table.Close);
        Bind(library, "FT_ResetDevice", table.ResetDevice);
        Bind(library, "FT_Purge", table.Purge);
        Bind(library, "FT_SetTimeouts", table.SetTimeouts);
        Bind(library, "FT_GetQueueStatus", table.GetQueueStatus);
        Bind(library, "FT_GetStatus", table.GetStatus);
        Bind(library, "FT_SetBaudRate", table.SetBaudRate);
        Bind(library, "FT_SetDataCharacteristics", table.SetDataCharacteristics);
        Bind(library, "FT_SetFlowControl", table.SetFlowControl);
        Bind(library, "FT_SetDivisor", table.SetDivisor);
        Bind(library, "FT_SetEventNotification", table.SetEventNotification);
        return table;
    }();
    return d2xx;
}
