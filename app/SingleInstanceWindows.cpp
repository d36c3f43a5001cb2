#include "SingleInstance.h"

#include <QWidget>
#include <QWinEventNotifier>

#include <windows.h>

// A named auto-reset event in the session's own namespace ("Local\"): it exists while a copy
// holds a handle to it, and is never on disk. Setting it is the request; it stays set until the
// first copy's event loop consumes it.
struct SingleInstance::Platform {
    HANDLE event = nullptr;
    bool first = true;
    QWinEventNotifier* notifier = nullptr;
};

QString SingleInstance::sessionName()
{
    // Local\ is per logon session: one user's desktop, as Windows keeps sessions apart.
    return QStringLiteral("Local\\QR5LumaroUpdater");
}

SingleInstance::SingleInstance()
    : m_platform(std::make_unique<Platform>())
{
    const std::wstring name = sessionName().toStdWString();
    m_platform->event = CreateEventW(nullptr, FALSE, FALSE, name.c_str());
    // Without a handle (another account's object in this session) the guard stands aside.
    m_platform->first = m_platform->event == nullptr || GetLastError() != ERROR_ALREADY_EXISTS;
}

SingleInstance::~SingleInstance()
{
    if (m_platform->event)
        CloseHandle(m_platform->event);
}

bool SingleInstance::isFirst() const
{
    return m_platform->first;
}

bool SingleInstance::askFirstToRaise()
{
    if (m_platform->first || !m_platform->event)
        return false;
    // Only a process that may take the foreground can hand that right on: this copy was just
    // started by the person, the first copy is in the background.
    AllowSetForegroundWindow(ASFW_ANY);
    return SetEvent(m_platform->event) != 0;
}

void SingleInstance::raiseOnRequest(QWidget& window)
{
    Platform& p = *m_platform;
    if (!p.first || !p.event || p.notifier)
        return;
    p.notifier = new QWinEventNotifier(p.event, this);
    connect(p.notifier, &QWinEventNotifier::activated, this, [this, &window] {
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
        window.show();
        window.raise();
        window.activateWindow();
        emit raiseRequested();
    });
}
