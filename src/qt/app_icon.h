// IDR_MAINFRAME: the application icon, drawn from res/icons/kxupgradedongle.svg.
#pragma once

#include <QIcon>
#include <array>

namespace kx {

// The sizes the icon is drawn in, from the title bar's to the task switcher's.
inline constexpr std::array<int, 8> kAppIconSizes{16, 22, 24, 32, 48, 64, 128, 256};

// The icon with every size, for the window's big and small icon alike.
QIcon AppIcon();

}  // namespace kx
