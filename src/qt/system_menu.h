// The about entry in the window's system menu. Windows gives every window such a menu;
// X11 and Wayland give applications none, and there the window offers the entry itself.
#pragma once

#include <QByteArray>
#include <optional>
#include <string>

#include "dialog/window_surface.h"

class QWidget;

namespace kx {

// The about entry's system command, and its text: string IDS_ABOUTBOX of the table.
inline constexpr UINT IDM_ABOUTBOX = 0x0010;
inline constexpr int IDS_ABOUTBOX = 101;

// The low four bits of a system command are the system's own, so they are masked off.
constexpr bool IsAboutCommand(UINT id) {
    return (id & 0xFFF0) == IDM_ABOUTBOX;
}

// Appends a separator and the entry `text` to `window`'s system menu. False where the
// platform has no system menu, or `text` is empty. The window's flags must be final:
// changing them later makes a new native window with a fresh menu.
bool AppendAboutToSystemMenu(QWidget& window, const std::string& text);

// The command of a native WM_SYSCOMMAND message, as handed to QWidget::nativeEvent;
// nullopt for any other message and on platforms without a system menu.
std::optional<UINT> SysCommandOf(const QByteArray& eventType, const void* message);

}  // namespace kx
