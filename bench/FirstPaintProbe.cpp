#include "FirstPaintProbe.h"

#include "BenchClock.h"

#include <QEvent>
#include <QTimer>

FirstPaintProbe::FirstPaintProbe(QObject* parent)
    : QObject(parent)
{
}

bool FirstPaintProbe::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Paint && m_paint_event_nanos == 0) {
        m_paint_event_nanos = BenchClock::monotonicNanos();
        // Painting and flushing the backing store finish before the event loop turns again.
        QTimer::singleShot(0, this, [this] {
            m_frame_done_nanos = BenchClock::monotonicNanos();
            emit frameDone();
        });
    }
    return QObject::eventFilter(watched, event);
}
