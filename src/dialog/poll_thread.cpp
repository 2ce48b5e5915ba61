#include "poll_thread.h"

#include <chrono>
#include <memory>

#include "dialog/window_surface.h"
#include "driver_binding.h"
#include "platform_thread.h"

namespace kx {

std::int32_t g_connected = 0;
std::atomic<bool> g_polling{false};
std::atomic<bool> g_pacing{false};

unsigned PollThreadProc(WindowSurface& window, std::atomic<void*>* eventOut) {
    platform::SetCurrentThreadPriorityNormal();
    void* event = platform::CreateDriverEvent();
    if (eventOut != nullptr) {
        eventOut->store(event);
    }
    if (DrvSetEventNotification(FT_EVENT_RXCHAR, event) == FT_INVALID_HANDLE) {
        window.ShowMessageBox("FT_Read is not valid!");
    }
    bool fineTimer = false;
    while (g_polling.load()) {
        window.PostToWindow(WindowMessage::PollDevice);
        const bool pacing = g_pacing.load();
        if (pacing != fineTimer) {
            platform::HoldFineTimer(pacing);
            fineTimer = pacing;
        }
        platform::WaitDriverEvent(event, pacing ? kPacingPollPeriod : kIdlePollPeriod);
    }
    if (fineTimer) {
        platform::HoldFineTimer(false);
    }
    return 0;
}

PollThreads::~PollThreads() {
    StopAll();
}

void PollThreads::Start(WindowSurface& window) {
    std::lock_guard lock(m_mutex);
    ReapFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto event = std::make_shared<std::atomic<void*>>(nullptr);
    std::thread thread([&window, done, event] {
        PollThreadProc(window, event.get());
        done->store(true);
    });
    m_workers.push_back(Worker{std::move(thread), std::move(done), std::move(event)});
}

void PollThreads::StopAll() {
    g_polling = false;
    std::vector<Worker> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (Worker& worker : workers) {
        platform::SignalDriverEvent(worker.event->load());  // end its wait now
        worker.thread.join();
    }
}

void PollThreads::Wake() {
    std::lock_guard lock(m_mutex);
    for (const Worker& worker : m_workers) {
        platform::SignalDriverEvent(worker.event->load());
    }
}

std::size_t PollThreads::Running() const {
    std::lock_guard lock(m_mutex);
    std::size_t running = 0;
    for (const Worker& worker : m_workers) {
        running += worker.done->load() ? 0 : 1;
    }
    return running;
}

void PollThreads::ReapFinished() {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace kx
