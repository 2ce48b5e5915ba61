#include "platform_thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "d2xx_api.h"
#endif

namespace kx::platform {

void SetCurrentThreadPriorityNormal() {
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
#endif
}

void* CreateDriverEvent() {
#ifdef _WIN32
    return ::CreateEventA(nullptr, FALSE, FALSE, "");
#else
    auto* event = new KX_EVENT_HANDLE;
    pthread_mutex_init(&event->eMutex, nullptr);
    pthread_cond_init(&event->eCondVar, nullptr);
    event->iVar = 0;
    return event;
#endif
}

}  // namespace kx::platform
