// Thread and event services of the operating system that the poll thread uses.
#pragma once

namespace kx::platform {

// The poll thread runs at normal priority.
void SetCurrentThreadPriorityNormal();
// An auto-reset, initially non-signalled event in the form the driver's event
// notification takes. It is never freed: the driver may keep signalling it.
void* CreateDriverEvent();

}  // namespace kx::platform
