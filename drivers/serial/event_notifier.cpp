#include "event_notifier.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kxserial {

namespace {

// While received bytes sit unread the tty stays readable, so the watcher looks again after
// this pause instead of spinning on poll().
constexpr int kUnreadRecheckMs = 2;

}  // namespace

EventNotifier::EventNotifier() : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventNotifier::~EventNotifier() {
    Stop();
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
}

void EventNotifier::Register(int ttyFd, DWORD mask, KX_EVENT_HANDLE* event) {
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable()) {
        const eventfd_t one = 1;
        eventfd_write(m_wakeFd, one);
        m_thread.join();
        eventfd_t drained;
        eventfd_read(m_wakeFd, &drained);
    }
    if ((mask & FT_EVENT_RXCHAR) != 0 && event != nullptr && m_wakeFd >= 0) {
        m_thread = std::thread([this, ttyFd, event] { Watch(ttyFd, event); });
    }
}

void EventNotifier::Stop() {
    Register(-1, 0, nullptr);
}

void EventNotifier::Watch(int ttyFd, KX_EVENT_HANDLE* event) {
    int seen = 0;
    for (;;) {
        int pending = 0;
        if (ioctl(ttyFd, FIONREAD, &pending) != 0) {
            return;  // the device is gone; FT_GetStatus reports it
        }
        if (pending > seen) {
            m_fired |= FT_EVENT_RXCHAR;
            Signal(event);
        }
        seen = pending;
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {ttyFd, POLLIN, 0}};
        const bool waitForFirstByte = pending == 0;
        const int ready =
            poll(fds, waitForFirstByte ? 2 : 1, waitForFirstByte ? -1 : kUnreadRecheckMs);
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            return;
        }
        if (waitForFirstByte && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return;
        }
    }
}

void EventNotifier::Signal(KX_EVENT_HANDLE* event) {
    pthread_mutex_lock(&event->eMutex);
    event->iVar = 1;
    pthread_cond_signal(&event->eCondVar);
    pthread_mutex_unlock(&event->eMutex);
}

}  // namespace kxserial
