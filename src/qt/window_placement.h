// Where the main window and its file chooser go on the screen: pure geometry, so that it
// is the same at any scale and testable without a screen.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace kx {

// The chooser's frame: `wanted` (its client size) bounded by the `available` screen area
// less the frame's `margins` (the window manager's border and title, as the main window
// has them), centred on `centreX`, from `top` down, and moved inside `available` where it
// would leave it. Returns the frame's rectangle; its client size is the frame's less the
// margins.
QRect ChooserFrame(QSize wanted, QSize margins, int centreX, int top, const QRect& available);

// The window manager's frame around a window, its `frame` size less its `client` size; before
// the window manager has framed the window (some time after it is shown, later on a busy
// machine, when the two sizes are still the same) room for a usual frame: `unframed`.
QSize FrameMargins(QSize frame, QSize client, QSize unframed);

// The top left corner of the `slot`-th window open at once (0: the first, centred in
// `available`), `step` pixels right and down of the one before, starting again from the
// centre where it would leave `available`.
QPoint WindowCorner(QSize frame, unsigned slot, int step, const QRect& available);

}  // namespace kx
