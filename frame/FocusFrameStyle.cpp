#include "FocusFrameStyle.h"

#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QRectF>
#include <QStyleOption>
#include <QWidget>

namespace {

const qreal g_frame_width = 2.0;
const qreal g_frame_radius = 4.0;

} // namespace

// No base style given: QProxyStyle makes its own instance of the application's desktop style, so
// this never owns or changes the style that other widgets use.
FocusFrameStyle::FocusFrameStyle() = default;

void FocusFrameStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                    QPainter* painter, const QWidget* widget) const
{
    if (element != PE_FrameFocusRect) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    // Focus that only the mouse or the window's activation gave shows nothing.
    if (!widget || !(option->state & State_KeyboardFocusChange))
        return;

    // Around the whole button rather than the style's contents rectangle: the buttons are
    // pictures whose drawn shape keeps a margin of a few pixels to the button's edge, which the
    // frame sits in.
    const qreal inset = g_frame_width;
    const QRectF frame = QRectF(widget->rect()).adjusted(inset, inset, -inset, -inset);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(option->palette.color(QPalette::ButtonText), g_frame_width));
    painter->drawRoundedRect(frame, g_frame_radius, g_frame_radius, Qt::AbsoluteSize);
    painter->restore();
}
