#include "WindowAccessibility.h"

#include "Widget.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace {

void setName(QWidget& widget, const QString& name)
{
    if (widget.accessibleName() != name)
        widget.setAccessibleName(name);
}

void setDescription(QWidget& widget, const QString& description)
{
    if (widget.accessibleDescription() != description)
        widget.setAccessibleDescription(description);
}

// Qt gives a plain top-level QWidget the role of a client area; screen readers announce windows,
// and the frameless window has no system frame to stand in for it.
QAccessibleInterface* updaterWindowInterface(const QString&, QObject* object)
{
    auto* window = qobject_cast<Widget*>(object);
    if (window && window->isWindow())
        return new QAccessibleWidget(window, QAccessible::Window);
    return nullptr;
}

// Qt keeps the first interface made for an object, and the window's may be asked for while its
// base class is being built: the factory must be in place before any window exists.
void installUpdaterWindowFactory()
{
    QAccessible::installFactory(updaterWindowInterface);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installUpdaterWindowFactory)

WindowAccessibility::WindowAccessibility(QWidget& window, QPushButton& update,
                                         QProgressBar& progress, QPushButton& finish)
    : m_window(window)
    , m_finish(finish)
{
    setName(m_window, AccessibleTexts::windowName());
    setName(update, AccessibleTexts::updateButtonName());
    setDescription(update, AccessibleTexts::updateButtonDescription());
    setName(m_finish, AccessibleTexts::finishName());
    setDescription(m_finish, AccessibleTexts::finishDescription(WindowState::UpToDate));
    setName(progress, AccessibleTexts::progressName());
    setDescription(progress, AccessibleTexts::progressDescription());

    // The title bar belongs to the reusable frame, which has no words of this program's. Its one
    // label besides the title text shows the icon.
    if (auto* minimise = m_window.findChild<QPushButton*>(QStringLiteral("ButtonMin"))) {
        setName(*minimise, AccessibleTexts::minimiseName());
        setDescription(*minimise, AccessibleTexts::minimiseDescription());
    }
    if (auto* close = m_window.findChild<QPushButton*>(QStringLiteral("ButtonClose"))) {
        setName(*close, AccessibleTexts::closeName());
        setDescription(*close, AccessibleTexts::closeDescription());
    }
    for (QLabel* label : m_window.findChildren<QLabel*>()) {
        if (label->objectName() != QLatin1String("TitleContent"))
            setName(*label, AccessibleTexts::logoName());
    }
}

void WindowAccessibility::refresh(WindowState state, std::uint32_t installedVersion)
{
    if (state == WindowState::UpToDate || state == WindowState::Finished)
        setDescription(m_finish, AccessibleTexts::finishDescription(state));
    setDescription(m_window, AccessibleTexts::windowDescription(state, installedVersion));
}
