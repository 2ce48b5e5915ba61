// Dialog units to pixels, the way dialog templates are laid out: a horizontal unit is a
// quarter of the font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>

#include "dialog_layouts.h"

namespace kx {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    QRect ToPixels(int x, int y, int width, int height) const;
    QRect ToPixels(const layout::DialogRect& rect) const {
        return ToPixels(rect.x, rect.y, rect.width, rect.height);
    }
    int X(int units) const { return units * m_baseX / 4; }
    int Y(int units) const { return units * m_baseY / 8; }

  private:
    int m_baseX;
    int m_baseY;
};

}  // namespace kx
