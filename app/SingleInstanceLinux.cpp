#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A listening unix socket in the abstract namespace: the name exists while the socket is open and
// never touches the file system. A connection is the request; it waits in the listen queue until
// the first copy's event loop accepts it.
struct SingleInstance::Platform {
    sockaddr_un address{};
    socklen_t addressLength = 0;
    int listener = -1;
    int connection = -1;
    bool first = true;
    QSocketNotifier* notifier = nullptr;
};

namespace {

// Anyone can bind a name in the abstract namespace: only a peer running as this user counts.
bool peerIsThisUser(int socket)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0
        && credentials.uid == getuid();
}

} // namespace

QString SingleInstance::sessionName()
{
    // The X display or Wayland socket tells desktop sessions apart: raising a window on another
    // display would show the person at this one nothing, and each of the rigs' X servers is a
    // session of its own. Another user's session is another user's controller access.
    QString name
        = QStringLiteral("qr5-lumaro-updater/%1/%2/%3")
              .arg(getuid())
              .arg(qEnvironmentVariable("DISPLAY"), qEnvironmentVariable("WAYLAND_DISPLAY"));
    constexpr int kMaximum = sizeof(sockaddr_un::sun_path) - 1;
    if (name.toUtf8().size() > kMaximum)
        name = QStringLiteral("qr5-lumaro-updater/%1/%2")
                   .arg(getuid())
                   .arg(QString::fromLatin1(
                       QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex()));
    return name;
}

SingleInstance::SingleInstance()
    : m_platform(std::make_unique<Platform>())
{
    Platform& p = *m_platform;
    const QByteArray name = sessionName().toUtf8();
    p.address.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace.
    std::memcpy(p.address.sun_path + 1, name.constData(), std::size_t(name.size()));
    p.addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::size_t(name.size()));

    p.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (p.listener < 0)
        return;
    if (bind(p.listener, reinterpret_cast<const sockaddr*>(&p.address), p.addressLength) == 0) {
        if (listen(p.listener, 16) != 0) {
            close(p.listener);
            p.listener = -1;
        }
        return;
    }
    const bool held = errno == EADDRINUSE;
    close(p.listener);
    p.listener = -1;
    if (!held)
        return;

    // Held. Connecting never blocks: a full queue (a first copy that hangs) or a holder between
    // bind and listen refuses at once, and this copy still ends without touching a device.
    p.first = false;
    p.connection = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (p.connection < 0)
        return;
    if (::connect(p.connection, reinterpret_cast<const sockaddr*>(&p.address), p.addressLength)
        != 0) {
        close(p.connection);
        p.connection = -1;
        return;
    }
    // Someone else's socket squats the name: start, unguarded, rather than not at all.
    if (!peerIsThisUser(p.connection)) {
        close(p.connection);
        p.connection = -1;
        p.first = true;
    }
}

SingleInstance::~SingleInstance()
{
    if (m_platform->listener >= 0)
        close(m_platform->listener);
    if (m_platform->connection >= 0)
        close(m_platform->connection);
}

bool SingleInstance::isFirst() const
{
    return m_platform->first;
}

bool SingleInstance::askFirstToRaise()
{
    // The connection queued in the first copy's listener is the request.
    return !m_platform->first && m_platform->connection >= 0;
}

void SingleInstance::raiseOnRequest(QWidget& window)
{
    Platform& p = *m_platform;
    if (p.listener < 0 || p.notifier)
        return;
    p.notifier = new QSocketNotifier(p.listener, QSocketNotifier::Read, this);
    connect(p.notifier, &QSocketNotifier::activated, this, [this, &window] {
        bool requested = false;
        for (;;) {
            const int peer
                = accept4(m_platform->listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (peer < 0)
                break;
            requested = requested || peerIsThisUser(peer);
            close(peer);
        }
        if (!requested)
            return;
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.show();
        window.raise();
        window.activateWindow();
        emit raiseRequested();
    });
}
