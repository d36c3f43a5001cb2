#pragma once

#include <QObject>

#include <cstdint>

// Watches a widget for its first paint event and notes when it arrived and when the frame it
// belongs to was finished (the event loop's next turn, after painting and flushing).
class FirstPaintProbe : public QObject {
    Q_OBJECT

public:
    explicit FirstPaintProbe(QObject* parent = nullptr);

    // CLOCK_MONOTONIC nanoseconds; 0 until seen.
    std::int64_t paintEventNanos() const { return m_paint_event_nanos; }
    std::int64_t frameDoneNanos() const { return m_frame_done_nanos; }

signals:
    void frameDone();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::int64_t m_paint_event_nanos = 0;
    std::int64_t m_frame_done_nanos = 0;
};
