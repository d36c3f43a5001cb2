#pragma once

#include <QObject>

#include <memory>

class QWidget;

// One updater per user and desktop session. A second copy would run discovery passes on the same
// controller, and every reply reaches every open handle: its requests and replies would mix with
// the first copy's and break an update. The first copy claims a name that the kernel holds only
// while the process lives, so nothing is written to disk and a crash leaves nothing behind; a
// later copy finds it held, asks the holder to bring its window forward, and ends before it
// opens any device.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // Claims the name or finds it held. Needs no application object and never blocks. Where the
    // name cannot be claimed at all, this copy counts as the first: the guard never stops the
    // updater from starting.
    SingleInstance();
    ~SingleInstance() override;

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool isFirst() const;

    // A later copy: asks the first to bring its window forward. Returns at once, false when the
    // first could not be reached (it is on its way out, or hung with its queue full).
    bool askFirstToRaise();

    // The first copy: each request from now on restores `window` if minimised, raises and
    // activates it, then emits raiseRequested(). Requests made earlier, even before the
    // application object existed, wait for the event loop and are not lost.
    void raiseOnRequest(QWidget& window);

    // The name the copies meet at: per user and desktop session.
    static QString sessionName();

signals:
    void raiseRequested();

private:
    struct Platform;
    std::unique_ptr<Platform> m_platform;
};
