#include "platform_thread.h"

#ifdef _WIN32
#include <windows.h>
// timeBeginPeriod and timeEndPeriod (winmm).
#include <mmsystem.h>
#else
#include <ctime>

#include "d2xx_api.h"
#endif

namespace kx::platform {

void SetCurrentThreadPriorityNormal() {
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_NORMAL);
#endif
}

#ifdef _WIN32

void* CreateDriverEvent() {
    return ::CreateEventA(nullptr, FALSE, FALSE, "");
}

void WaitDriverEvent(void* event, std::chrono::milliseconds timeout) {
    if (event == nullptr) {
        ::Sleep(static_cast<DWORD>(timeout.count()));
        return;
    }
    ::WaitForSingleObject(static_cast<HANDLE>(event), static_cast<DWORD>(timeout.count()));
}

void SignalDriverEvent(void* event) {
    if (event != nullptr) {
        ::SetEvent(static_cast<HANDLE>(event));
    }
}

void HoldFineTimer(bool hold) {
    if (hold) {
        ::timeBeginPeriod(1);
    } else {
        ::timeEndPeriod(1);
    }
}

#else

void* CreateDriverEvent() {
    auto* event = new KX_EVENT_HANDLE;
    pthread_mutex_init(&event->eMutex, nullptr);
    // Waits are timed on the monotonic clock: a change of the wall clock must not stretch one.
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&event->eCondVar, &attributes);
    pthread_condattr_destroy(&attributes);
    event->iVar = 0;
    return event;
}

void WaitDriverEvent(void* opaque, std::chrono::milliseconds timeout) {
    auto* event = static_cast<KX_EVENT_HANDLE*>(opaque);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const long long nanos = until.tv_nsec + static_cast<long long>(timeout.count()) * 1000000LL;
    until.tv_sec += static_cast<time_t>(nanos / 1000000000LL);
    until.tv_nsec = static_cast<long>(nanos % 1000000000LL);
    pthread_mutex_lock(&event->eMutex);
    // One wait, not a loop on the flag: a driver that signals without setting it still
    // wakes the thread, and an early wake costs no more than one extra poll.
    if (event->iVar == 0) {
        pthread_cond_timedwait(&event->eCondVar, &event->eMutex, &until);
    }
    event->iVar = 0;
    pthread_mutex_unlock(&event->eMutex);
}

void SignalDriverEvent(void* opaque) {
    auto* event = static_cast<KX_EVENT_HANDLE*>(opaque);
    if (event == nullptr) {
        return;
    }
    pthread_mutex_lock(&event->eMutex);
    event->iVar = 1;
    pthread_cond_signal(&event->eCondVar);
    pthread_mutex_unlock(&event->eMutex);
}

void HoldFineTimer(bool /*hold*/) {}

#endif

}  // namespace kx::platform
