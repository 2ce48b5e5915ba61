// Locks taken at the process's end. On Windows a library's exit handlers run after the
// process's other threads were ended, and a lock one of them held then stays held for
// ever: waiting on it would keep the process from ending. A lock not free within a moment
// is passed over, since nothing else runs by then.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>

namespace kxsim {

inline bool LockAtExit(std::unique_lock<std::mutex>& lock) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (lock.try_lock()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace kxsim
