// The poll thread: it only prompts the window to poll the device, for as long as g_polling
// stays set: when the driver signals received bytes, and at the latest after a time-out
// (1 ms while the first stage's pacing needs the transmit queue watched, else 50 ms).
#pragma once

#include <atomic>
#include <chrono>
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
// A first-stage transfer is running: poll threads wake at least every millisecond.
// Written by the window's thread.
extern std::atomic<bool> g_pacing;

inline constexpr std::chrono::milliseconds kPacingPollPeriod{1};
// Idle, a lost dongle still shows within this long, quicker than a person notices.
inline constexpr std::chrono::milliseconds kIdlePollPeriod{50};

// Registers a receive event with the driver, then posts WindowMessage::PollDevice to the window and
// waits on the event (with the time-out above) until g_polling is cleared. The event is
// stored in `event`, if given, so that a stop can end the wait early.
unsigned PollThreadProc(WindowSurface& window, std::atomic<void*>* event = nullptr);

// The poll threads started by the window. A reconnection made while earlier threads
// still run adds one beside them; all end once g_polling is cleared.
class PollThreads {
  public:
    ~PollThreads();
    void Start(WindowSurface& window);
    // Clears g_polling and waits for every thread to end.
    void StopAll();
    // Ends every thread's current wait, so that a change of g_pacing takes effect now.
    void Wake();
    std::size_t Running() const;

  private:
    void ReapFinished();

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
        std::shared_ptr<std::atomic<void*>> event;
    };
    mutable std::mutex m_mutex;
    std::vector<Worker> m_workers;
};

}  // namespace kx
