#include "KeyboardFocus.h"

#include "FocusFrameStyle.h"

#include <QAbstractButton>
#include <QEvent>
#include <QKeyEvent>
#include <QWidget>

KeyboardFocus::KeyboardFocus(QWidget* window, const QList<QAbstractButton*>& buttons)
    : QObject(window)
    , m_window(window)
    , m_buttons(buttons)
    , m_style(new FocusFrameStyle)
    , m_focus_waiting(false)
{
    m_style->setParent(this);
    // setTabOrder leaves a pair alone when nothing that takes focus lies between them, counting
    // round the end of the window's chain: the bar's buttons, created first, would stay ahead of
    // the others. While the window takes focus itself it marks that end.
    const Qt::FocusPolicy windowPolicy = m_window->focusPolicy();
    m_window->setFocusPolicy(Qt::TabFocus);
    for (int i = 0; i < m_buttons.size(); ++i) {
        QAbstractButton* button = m_buttons.at(i);
        if (i > 0)
            QWidget::setTabOrder(m_buttons.at(i - 1), button);
        button->setStyle(m_style);
        button->installEventFilter(this);
    }
    m_window->setFocusPolicy(windowPolicy);
    // The window itself holds focus until a key moves it: at its activation Qt would otherwise
    // focus the first button in creation order, the title bar's minimise button.
    m_window->setFocus(Qt::OtherFocusReason);
}

bool KeyboardFocus::eventFilter(QObject* watched, QEvent* event)
{
    // A button being destroyed still sends events (its hide among them) once it is no longer one.
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (!button)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress: {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Shift passes, as it does with Space and the mouse; the keypad's Enter carries a modifier
        // of its own.
        const Qt::KeyboardModifiers chords
            = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && !key->isAutoRepeat()
            && !(key->modifiers() & chords)) {
            button->click();
            return true;
        }
        break;
    }
    case QEvent::Hide:
        // A hide of the whole window (minimising) leaves the button visible to its window.
        if (button->hasFocus() && !button->isVisibleTo(m_window)) {
            m_focus_waiting = true;
            m_window->setFocus(Qt::OtherFocusReason);
        }
        break;
    case QEvent::Show:
        if (m_focus_waiting && m_window->hasFocus() && button->isVisibleTo(m_window)) {
            m_focus_waiting = false;
            button->setFocus(Qt::OtherFocusReason);
        }
        break;
    case QEvent::FocusIn:
        m_focus_waiting = false;
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
