// The simulation's notion of time. Model time follows the wall clock (or, for tests, moves
// only when told to); device durations are divided by the speed factor.
#pragma once

#include <chrono>
#include <cstdint>

#include "link.h"

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

// How long `characters` frames sent with a link last in model time. The line and the
// bootloader ask for every byte they carry, nearly always with the same link and speed:
// the last answer is kept.
class FrameTimer {
  public:
    explicit FrameTimer(const TimeScale& scale, double characters = 1.0)
        : m_scale(scale), m_characters(characters) {}

    Nanos Of(const LinkSettings& link) const {
        if (link != m_link || m_scale.Speed() != m_speed) {
            m_link = link;
            m_speed = m_scale.Speed();
            m_nanos = m_scale.Scaled(m_characters * FrameSeconds(link));
        }
        return m_nanos;
    }

  private:
    const TimeScale& m_scale;
    double m_characters;
    mutable LinkSettings m_link;
    mutable double m_speed = -1.0;
    mutable Nanos m_nanos = 0;
};

class ModelClock {
  public:
    ModelClock() { Restart(); }

    // Model time is 0 now.
    void Restart();
    Nanos Now() const { return At(std::chrono::steady_clock::now()); }
    // Model time at a moment of the wall clock (a manual clock's own time).
    Nanos At(std::chrono::steady_clock::time_point wall) const;

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
