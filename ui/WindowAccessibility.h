#pragma once

#include "AccessibleTexts.h"

#include <cstdint>

class QProgressBar;
class QPushButton;
class QWidget;

// Names the updater window's controls for assistive technology and keeps the window's description
// in step with the state that its pictures show. Qt raises the event on which a screen reader
// speaks at every set, even of the same text, so texts are set only when they change: a discovery
// pass that finds what the last one found stays silent. The progress bar announces its own value.
class WindowAccessibility {
public:
    WindowAccessibility(QWidget& window, QPushButton& update, QProgressBar& progress,
                        QPushButton& finish);

    // To be called once the window's state has settled.
    void refresh(WindowState state, std::uint32_t installedVersion);

private:
    QWidget& m_window;
    QPushButton& m_finish;
};
