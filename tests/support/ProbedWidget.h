#pragma once

#include "Widget.h"

// The updater window with the one piece of its state that has no public view: which picture it
// paints.
class ProbedWidget : public Widget {
public:
    using Widget::Widget;

    bool showsControllerPicture() const { return m_device_connected; }
};
