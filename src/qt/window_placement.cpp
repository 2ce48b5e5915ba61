#include "window_placement.h"

#include <algorithm>

namespace kx {

QRect ChooserFrame(QSize wanted, QSize margins, int centreX, int top, const QRect& available) {
    QSize frame = wanted + margins;
    if (available.isValid()) {
        frame = frame.boundedTo(available.size());
    }
    QRect placed(QPoint(centreX - frame.width() / 2, top), frame);
    if (available.isValid()) {
        placed.moveLeft(std::clamp(placed.left(), available.left(),
                                   available.left() + available.width() - frame.width()));
        placed.moveTop(std::clamp(placed.top(), available.top(),
                                  available.top() + available.height() - frame.height()));
    }
    return placed;
}

QSize FrameMargins(QSize frame, QSize client, QSize unframed) {
    const QSize margins = frame - client;
    return margins.width() > 0 || margins.height() > 0 ? margins : unframed;
}

QPoint WindowCorner(QSize frame, unsigned slot, int step, const QRect& available) {
    const QPoint centred(available.left() + (available.width() - frame.width()) / 2,
                         available.top() + (available.height() - frame.height()) / 2);
    if (slot == 0 || step <= 0) {
        return centred;
    }
    // The steps that fit between the centred place and the screen's right or bottom edge;
    // on a screen with no room for one, as far as it goes.
    const int roomX = available.left() + available.width() - frame.width() - centred.x();
    const int roomY = available.top() + available.height() - frame.height() - centred.y();
    const int fit = std::max(1, std::min(roomX, roomY) / step);
    const int steps = static_cast<int>((slot - 1) % static_cast<unsigned>(fit)) + 1;
    const QPoint corner = centred + QPoint(steps * step, steps * step);
    return QPoint(
        std::clamp(corner.x(), available.left(), std::max(available.left(), centred.x() + roomX)),
        std::clamp(corner.y(), available.top(), std::max(available.top(), centred.y() + roomY)));
}

}  // namespace kx
