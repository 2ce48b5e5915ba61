// Thread, event and timer services of the operating system that the poll thread uses.
#pragma once

#include <chrono>

namespace kx::platform {

// The poll thread runs at normal priority.
void SetCurrentThreadPriorityNormal();
// An auto-reset, initially non-signalled event in the form the driver's event
// notification takes. It is never freed: the driver may keep signalling it.
void* CreateDriverEvent();
// Waits until the event is signalled or `timeout` has passed, and resets it.
void WaitDriverEvent(void* event, std::chrono::milliseconds timeout);
// Signals the event as the driver would (to end a wait early).
void SignalDriverEvent(void* event);
// While held, a 1 ms wait lasts about 1 ms. Windows otherwise rounds waits up to its
// 15.6 ms tick; elsewhere this does nothing.
void HoldFineTimer(bool hold);

}  // namespace kx::platform
