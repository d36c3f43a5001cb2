#pragma once

#include <QList>
#include <QObject>

class FocusFrameStyle;
class QAbstractButton;
class QWidget;

// Keyboard use of a window made of picture buttons. Tab visits the buttons in the given order,
// Enter presses the focused one as Space does, and the focused one shows a frame once a key has
// moved focus (see FocusFrameStyle). Until the first key nothing has focus, so the first Tab
// lands on the first button of the order. When a focused button is hidden by the program, focus
// waits on the window and goes to the next of the buttons to be shown: a button that takes its
// place (the finish indicator after Update) keeps the keyboard user where they were, and a key
// pressed meanwhile reaches no other control.
class KeyboardFocus : public QObject {
public:
    // Becomes a child of window; buttons are inside window, in tab order.
    KeyboardFocus(QWidget* window, const QList<QAbstractButton*>& buttons);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_window;
    QList<QAbstractButton*> m_buttons;
    FocusFrameStyle* m_style;
    bool m_focus_waiting;
};
