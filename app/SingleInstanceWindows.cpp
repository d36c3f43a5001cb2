#include "SingleInstance.h"

#include <QWidget>
#include <QWinEventNotifier>

#include <windows.h>

#include <sddl.h>

#include <string>

// A named auto-reset event in the session's own namespace ("Local\"): it exists while a copy
// holds a handle to it, and is never on disk. Setting it is the request; it stays set until the
// first copy's event loop consumes it.
struct SingleInstance::Platform {
    HANDLE event = nullptr;
    bool first = true;
    QWinEventNotifier* notifier = nullptr;
};

namespace {

// What both sides of the guard ask of the event: to set it, and to wait for it.
constexpr DWORD kEventAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;

// The account this process runs as, as an SDDL SID string; empty when it cannot be had.
std::wstring userSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::wstring sid;
    std::string buffer(size, '\0');
    LPWSTR text = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
        && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

// An elevated copy's default DACL grants only Administrators and SYSTEM, so the same person's
// copy without elevation could not open the event, and the other way round: both may set and wait
// for it whatever their elevation, and so do SYSTEM and the Administrators.
PSECURITY_DESCRIPTOR makeEventSecurity()
{
    const std::wstring sid = userSid();
    if (sid.empty())
        return nullptr;
    const std::wstring sddl = L"D:(A;;GA;;;" + sid + L")(A;;GA;;;SY)(A;;GA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return nullptr;
    return descriptor;
}

} // namespace

QString SingleInstance::sessionName()
{
    // Local\ is per logon session: one user's desktop, as Windows keeps sessions apart.
    return QStringLiteral("Local\\QR5LumaroUpdater");
}

SingleInstance::SingleInstance()
    : m_platform(std::make_unique<Platform>())
{
    const std::wstring name = sessionName().toStdWString();
    PSECURITY_DESCRIPTOR descriptor = makeEventSecurity();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    m_platform->event
        = CreateEventExW(descriptor ? &attributes : nullptr, name.c_str(), 0, kEventAccess);
    const DWORD error = GetLastError();
    if (descriptor)
        LocalFree(descriptor);
    if (m_platform->event)
        m_platform->first = error != ERROR_ALREADY_EXISTS;
    else
        // The event exists but may not be opened: a copy holds it whose security shuts this one
        // out (one started before the security above, or by another account at this desktop). It
        // reaches the same controller all the same, so this copy ends; it cannot ask it forward.
        // Any other failure leaves the guard aside rather than keep the updater from starting.
        m_platform->first = error != ERROR_ACCESS_DENIED;
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
