#include "BenchWindow.h"

#include "CFindDeviceThread.h"
#include "Widget.h"

#include <QCoreApplication>

std::unique_ptr<Widget> openWindowWithoutPolling(HidAccess& hid)
{
    auto window = std::make_unique<Widget>(hid);
    CFindDeviceThread* polling = window->findDeviceThread();
    polling->m_stop_polling = true;
    polling->wait();
    // The pass it asked for as it started is dropped too.
    QCoreApplication::removePostedEvents(window.get(), QEvent::MetaCall);
    return window;
}
