// The simulation's notion of time. Model time follows the wall clock (or, for tests, moves
// only when told to); device durations are divided by the speed factor.
#pragma once

#include <chrono>
#include <cstdint>

namespace kxsim {

using Nanos = std::int64_t;

Nanos FromMs(double ms);
double ToMs(Nanos nanos);

class TimeScale {
  public:
    void SetSpeed(double speed) { m_speed = speed < 0 ? 0 : speed; }
    double Speed() const { return m_speed; }

    // How long something the device takes `seconds` for lasts in model time; 0 when the
    // speed is unlimited (speed factor 0).
    Nanos Scaled(double seconds) const;
    // The same, but never shorter than `floorSeconds` of model time: pauses that the host
    // must have outlasted before the device speaks again.
    Nanos ScaledAtLeast(double seconds, double floorSeconds) const;

  private:
    double m_speed = 1.0;
};

class ModelClock {
  public:
    ModelClock() { Restart(); }

    // Model time is 0 now.
    void Restart();
    Nanos Now() const;

    bool Manual() const { return m_manual; }
    // A manual clock stands still until AdvanceTo(); switching keeps the current time.
    void SetManual(bool manual);
    void AdvanceTo(Nanos when);

    std::chrono::steady_clock::time_point WallTimeAt(Nanos when) const;

  private:
    std::chrono::steady_clock::time_point m_epoch;
    bool m_manual = false;
    Nanos m_manualNow = 0;
};

}  // namespace kxsim
