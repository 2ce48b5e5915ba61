// The time the dialog's logic reads and the pauses it takes. The real clock by default;
// a harness that drives the logic without a device in real time gives its own.
#pragma once

#include <chrono>

namespace kx {

class HostClock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~HostClock() = default;
    virtual TimePoint Now() = 0;
    virtual void Sleep(std::chrono::microseconds duration) = 0;
};

// steady_clock and a real sleep.
HostClock& RealClock();

}  // namespace kx
