// The dialog's logic and the simulated dongle on one clock that the test moves: the dongle's
// model time stands still except while the dialog sleeps or its message loop waits, and
// then both move together, so seconds of dongle time pass in microseconds and every run
// of the same case is the same run. It stands in for the poll threads too: a poller
// registers its receive event with the driver, as the poll thread does, and posts a
// poll when the driver signals received bytes, when pacing starts, or after the poll thread's
// time-out (1 ms while the first stage paces, else 50 ms), until g_polling is cleared.
#pragma once

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "device/driver_binding.h"
#include "device/host_clock.h"
#include "dialog/poll_thread.h"
#include "host/headless_window.h"
#include "kxsim.h"
#include "test_platform.h"

namespace kx::test {

class SimClock final : public HostClock {
  public:
    // The longest step the clock takes at once: how late a poll may come after the driver
    // signalled received bytes.
    static constexpr std::chrono::microseconds kStep{1000};

    // Puts the selected dongle on a manual clock; call kxsim_reset() after it.
    explicit SimClock(WindowSurface& window) : m_window(window) { kxsim_set_manual_clock(1); }
    ~SimClock() override { kxsim_set_manual_clock(0); }
    SimClock(const SimClock&) = delete;
    SimClock& operator=(const SimClock&) = delete;

    TimePoint Now() override {
        return kOrigin + std::chrono::nanoseconds(std::llround(kxsim_now_ms() * 1e6));
    }

    void Sleep(std::chrono::microseconds duration) override {
        while (duration.count() > 0) {
            const std::chrono::microseconds step = std::min(duration, kStep);
            kxsim_advance_ms(static_cast<double>(step.count()) / 1000.0);
            duration -= step;
            TurnPollers();
            if (afterStep) {
                afterStep();
            }
        }
    }

    // For CUpgradeDlg::SetPollStarter: one more poller, as ConnectDevice starts one more
    // poll thread.
    std::function<void()> PollStarter() {
        return [this] { m_pollers.push_back(std::make_unique<Poller>()); };
    }
    std::size_t PollersRunning() const { return m_pollers.size(); }

    // Called after every step, on the window's thread (a test's hang limit, say).
    std::function<void()> afterStep;

  private:
    // Far from the steady clock's epoch, so that no "long ago" reads as "now".
    static constexpr TimePoint kOrigin = TimePoint{} + std::chrono::hours(24);

    struct Poller {
        DriverEvent event;
        bool registered = false;
        TimePoint due{};
    };

    void TurnPollers() {
        const TimePoint now = Now();
        // Pacing switched on wakes the poll threads at once (PollThreads::Wake).
        const bool pacing = g_pacing.load();
        const bool woken = pacing && !m_pacing;
        m_pacing = pacing;
        for (auto it = m_pollers.begin(); it != m_pollers.end();) {
            Poller& poller = **it;
            if (!g_polling.load()) {
                // Its event stays alive with the clock: the driver may still hold it.
                m_ended.push_back(std::move(*it));
                it = m_pollers.erase(it);
                continue;
            }
            if (!poller.registered) {
                poller.registered = true;
                if (DrvSetEventNotification(FT_EVENT_RXCHAR, poller.event.Handle()) ==
                    FT_INVALID_HANDLE) {
                    m_window.ShowMessageBox("FT_Read is not valid!");
                }
                poller.due = now;
            }
            if (poller.event.Signalled() || now >= poller.due || woken) {
                m_window.PostToWindow(WindowMessage::PollDevice);
                poller.due = now + (g_pacing.load() ? kPacingPollPeriod : kIdlePollPeriod);
            }
            ++it;
        }
    }

    WindowSurface& m_window;
    std::vector<std::unique_ptr<Poller>> m_pollers;
    std::vector<std::unique_ptr<Poller>> m_ended;
    bool m_pacing = false;
};

}  // namespace kx::test
