// FT_SetEventNotification on a tty: a thread that watches the receive queue and signals the
// caller's event (the D2XX condition-variable event of Linux) when characters arrive.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "d2xx_api.h"

namespace kxserial {

class EventNotifier {
  public:
    EventNotifier();
    ~EventNotifier();
    EventNotifier(const EventNotifier&) = delete;
    EventNotifier& operator=(const EventNotifier&) = delete;

    // Replaces the registration; a zero mask or no event just stops notifying. Only
    // FT_EVENT_RXCHAR is watched: a tty reports no modem or line status changes to poll().
    void Register(int ttyFd, DWORD mask, KX_EVENT_HANDLE* event);
    void Stop();
    // The events signalled since the last call (FT_GetStatus's event word), then cleared.
    DWORD TakeFired() { return m_fired.exchange(0); }
    void ClearFired() { m_fired = 0; }

  private:
    void Watch(int ttyFd, KX_EVENT_HANDLE* event);
    void Signal(KX_EVENT_HANDLE* event);

    std::mutex m_mutex;  // one registration change at a time
    int m_wakeFd;        // eventfd: tells the watching thread to end
    std::thread m_thread;
    std::atomic<DWORD> m_fired{0};
};

}  // namespace kxserial
