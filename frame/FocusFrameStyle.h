#pragma once

#include <QProxyStyle>

// The platform's own style in every respect but one: instead of its focus indicator, which one
// platform draws before any key is pressed and another draws so faintly that it cannot be seen on
// the title bar's buttons, a frame fitted to the button, in the button's text colour, and only
// once a key has moved focus in its window.
class FocusFrameStyle : public QProxyStyle {
public:
    FocusFrameStyle();

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};
