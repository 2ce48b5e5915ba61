#include "model_clock.h"

#include <algorithm>
#include <cmath>

namespace kxsim {

Nanos FromMs(double ms) {
    return static_cast<Nanos>(std::llround(ms * 1e6));
}

double ToMs(Nanos nanos) {
    return static_cast<double>(nanos) / 1e6;
}

Nanos TimeScale::Scaled(double seconds) const {
    if (m_speed <= 0 || seconds <= 0) {
        return 0;
    }
    return static_cast<Nanos>(std::llround(seconds * 1e9 / m_speed));
}

Nanos TimeScale::ScaledAtLeast(double seconds, double floorSeconds) const {
    return std::max(Scaled(seconds), static_cast<Nanos>(std::llround(floorSeconds * 1e9)));
}

void ModelClock::Restart() {
    m_epoch = std::chrono::steady_clock::now();
    m_manualNow = 0;
}

Nanos ModelClock::At(std::chrono::steady_clock::time_point wall) const {
    if (m_manual) {
        return m_manualNow;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(wall - m_epoch).count();
}

void ModelClock::SetManual(bool manual) {
    if (manual == m_manual) {
        return;
    }
    if (manual) {
        m_manualNow = Now();
    } else {
        m_epoch = std::chrono::steady_clock::now() - std::chrono::nanoseconds(m_manualNow);
    }
    m_manual = manual;
}

void ModelClock::AdvanceTo(Nanos when) {
    m_manualNow = std::max(m_manualNow, when);
}

std::chrono::steady_clock::time_point ModelClock::WallTimeAt(Nanos when) const {
    return m_epoch + std::chrono::nanoseconds(when);
}

}  // namespace kxsim
