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
    if (event->type() == QEvent::Paint && m_paintEventNanos == 0) {
        m_paintEventNanos = BenchClock::monotonicNanos();
        // Painting and flushing the backing store finish before the event loop turns again.
        QTimer::singleShot(0, this, [this] {
            m_frameDoneNanos = BenchClock::monotonicNanos();
            emit frameDone();
        });
    }
    return QObject::eventFilter(watched, event);
}
