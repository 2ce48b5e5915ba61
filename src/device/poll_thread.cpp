#include "poll_thread.h"

#include <chrono>
#include <memory>

#include "app/window_surface.h"
#include "driver_binding.h"
#include "platform_thread.h"

namespace kx {

std::int32_t g_connected = 0;
std::atomic<bool> g_polling{false};

unsigned PollThreadProc(WindowSurface& window) {
    platform::SetCurrentThreadPriorityNormal();
    void* event = platform::CreateDriverEvent();
    if (DrvSetEventNotification(FT_EVENT_RXCHAR, event) == FT_INVALID_HANDLE) {
        window.MessageBox("FT_Read is not valid!");
    }
    while (g_polling.load()) {
        window.PostToWindow(WM_POLL_DEVICE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    std::thread thread([&window, done] {
        PollThreadProc(window);
        done->store(true);
    });
    m_workers.push_back(Worker{std::move(thread), std::move(done)});
}

void PollThreads::StopAll() {
    g_polling = false;
    std::vector<Worker> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (Worker& worker : workers) {
        worker.thread.join();
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
