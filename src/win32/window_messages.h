// The main window's own messages, as other programs and its tests see them.
#pragma once

namespace kx::win32 {

// The logic's posted messages travel as WM_APP + n: in a dialog's window procedure
// WM_USER + 1 and + 2 are the dialog manager's own DM_SETDEFID and DM_REPOSITION.
inline constexpr unsigned kAppMessageBase = 0x8000;  // WM_APP
inline constexpr unsigned kPollMessage = kAppMessageBase + 1;
inline constexpr unsigned kStartTransferMessage = kAppMessageBase + 2;
inline constexpr unsigned kFlushMessage = kAppMessageBase + 3;       // the log's pending text
inline constexpr unsigned kMessageBoxMessage = kAppMessageBase + 4;  // a box from another thread

// WM_COPYDATA with this id hands the window a firmware file for the next announcement, as
// dropping it on the window does; the data is the file's path in UTF-16, without the NUL.
// Another program (a second start with a file, a test) uses it where no drag can be made.
inline constexpr unsigned long kNextFileCopyData = 0x4B584446;  // "KXDF"

}  // namespace kx::win32
