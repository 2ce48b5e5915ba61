// The poll thread: it only prompts the window to poll the device, about once a
// millisecond, for as long as g_polling stays set.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kx {

class WindowSurface;

// The device is open and configured. Window thread only.
extern std::int32_t g_connected;
// Poll threads keep running while set. Written by the window's thread, read by every
// poll thread on each turn.
extern std::atomic<bool> g_polling;

// Registers a receive event with the driver, then posts WM_POLL_DEVICE to the window
// and sleeps 1 ms until g_polling is cleared.
unsigned PollThreadProc(WindowSurface& window);

// The poll threads started by the window. A reconnection made while earlier threads
// still run adds one beside them; all end once g_polling is cleared.
class PollThreads {
  public:
    ~PollThreads();
    void Start(WindowSurface& window);
    // Clears g_polling and waits for every thread to end.
    void StopAll();
    std::size_t Running() const;

  private:
    void ReapFinished();

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    mutable std::mutex m_mutex;
    std::vector<Worker> m_workers;
};

}  // namespace kx
