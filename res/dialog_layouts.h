// The dialog templates: sizes and control positions in dialog units, converted to pixels
// by one rule (DialogUnits) for every dialog.
#pragma once

namespace kx::layout {

struct DialogRect {
    int x;
    int y;
    int width;
    int height;
};

// IDD_MAIN (102): the main window, 414 x 253, opened centred on the screen.
namespace main {
inline constexpr DialogRect kFrame{0, 0, 414, 253};
inline constexpr DialogRect kExit{14, 13, 69, 25};
inline constexpr DialogRect kLog{13, 87, 385, 129};
inline constexpr DialogRect kConnectionText{15, 46, 383, 15};
inline constexpr DialogRect kProgress{13, 225, 386, 15};
inline constexpr DialogRect kTransferText{15, 65, 383, 15};
}  // namespace main

// IDD_ABOUTBOX (100): the about box, 235 x 55, opened centred over the main window.
namespace about {
inline constexpr DialogRect kFrame{0, 0, 235, 55};
inline constexpr DialogRect kIcon{11, 17, 20, 20};
inline constexpr DialogRect kVersionText{40, 10, 119, 8};
inline constexpr DialogRect kOk{178, 7, 50, 14};
}  // namespace about

}  // namespace kx::layout
