#include "host_clock.h"

#include <thread>

namespace kx {

namespace {

class SteadyClock final : public HostClock {
  public:
    TimePoint Now() override { return std::chrono::steady_clock::now(); }
    void Sleep(std::chrono::microseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
};

}  // namespace

HostClock& RealClock() {
    static SteadyClock clock;
    return clock;
}

}  // namespace kx
