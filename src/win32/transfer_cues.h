// What the desktop shows of a transfer outside the window: progress on the taskbar button,
// and a flash of the button (with the system's sound) when a transfer ends while the
// window is not in front.
#pragma once

#include <cstdint>

struct HWND__;
struct ITaskbarList3;

namespace kx::win32 {

enum class CueState { None, Normal, Paused, Error };

class TaskbarProgress {
  public:
    TaskbarProgress() = default;
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // The message the shell sends when the window's button (re)appears; then Attach again.
    static unsigned ButtonCreatedMessage();
    void Attach(HWND__* window);
    // Shows `state`, and for Normal and Paused how far: `done` of `total`.
    void Show(CueState state, std::uint64_t done, std::uint64_t total);

  private:
    HWND__* m_window = nullptr;
    ITaskbarList3* m_list = nullptr;
    CueState m_shown = CueState::None;
};

// The progress bar's own state (normal, paused: yellow, error: red).
void ShowBarState(HWND__* bar, CueState state);

// Flashes the window's taskbar button until it comes to the front, and sounds the
// system's cue, when it is not in front; nothing otherwise.
void CueTransferEnd(HWND__* window, bool completed);

}  // namespace kx::win32
