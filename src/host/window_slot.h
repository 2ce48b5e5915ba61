// Which of the windows open at once this one is: the lowest number no live window holds.
// A window holds its number by an exclusive lock on a file of that number, which the
// system lets go when the process ends, however it ends. A second window (another
// dongle's, or a second start by mistake) then opens beside the first, not over it.
#pragma once

#include <cstdint>
#include <string>

namespace kx {

class WindowSlot {
  public:
    static constexpr unsigned kSlots = 16;

    WindowSlot() = default;
    ~WindowSlot() { Release(); }
    WindowSlot(const WindowSlot&) = delete;
    WindowSlot& operator=(const WindowSlot&) = delete;

    // Takes the lowest number below kSlots that no window holds, by a lock file in
    // `folder` (created if missing). 0 when the folder cannot be used or all are taken:
    // the window then opens where the first does.
    unsigned Take(const std::string& folder);
    unsigned Number() const { return m_number; }
    void Release();

  private:
    std::intptr_t m_lock = -1;  // a file descriptor, or a Windows handle
    unsigned m_number = 0;
};

}  // namespace kx
