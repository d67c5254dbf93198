// The window's layout is given in twips (1/1440 inch); this maps it to pixels at a screen's
// logical density, so that 15 twips are one pixel at 96 DPI and the window keeps its
// proportions on denser screens.
#pragma once

#include <QRect>

namespace quillmark::gui {

class Twips {
public:
    explicit Twips(double logicalDpi) : m_dpi(logicalDpi > 0 ? logicalDpi : 96.0) {}

    int px(int twips) const { return static_cast<int>(twips * m_dpi / 1440.0 + 0.5); }
    QRect rect(int left, int top, int width, int height) const { return {px(left), px(top), px(width), px(height)}; }

private:
    double m_dpi;
};

}  // namespace quillmark::gui
