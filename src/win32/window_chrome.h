// The main window's chrome: the about entry in the system menu and the about box, the icon
// drawn when minimized, and the question asked before a running transfer is abandoned.
#pragma once

#include <string>

struct HWND__;
struct HICON__;

namespace kx::win32 {

// Appends a separator and the about entry (IDS_ABOUTBOX) to the window's system menu.
void AppendAboutEntry(HWND__* window);
bool IsAboutCommand(unsigned command);
// Runs the about box modally, centred over `owner`.
void RunAboutBox(HWND__* owner);

// The application icon at the system's big or small size for the window's DPI.
HICON__* LoadAppIcon(HWND__* window, bool big);
// Paints `icon` centred in the client area of the minimized `window`.
void PaintMinimizedIcon(HWND__* window, HICON__* icon);

// Centres `window` over `over` (or the screen when null), within the work area.
void CentreOver(HWND__* window, HWND__* over);

// Moves `window` right and down of where it stands, a caption's height at a time, while
// another visible top-level window with its caption stands there: a second window (another
// dongle's, or a second start by mistake) opens beside the first, not over it.
void StepAsideFromTwins(HWND__* window);

// Asks whether to leave a running transfer; true when the user chose to quit. The safe
// answer is the default, and the one Esc gives.
bool AskQuit(HWND__* owner, const std::wstring& caption);

}  // namespace kx::win32
