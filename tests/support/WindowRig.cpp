#include "WindowRig.h"

#include "CFindDeviceThread.h"
#include "CUpdateThread.h"

#include <QCoreApplication>

#include <iterator>

namespace {

QList<CUpdateThread*> updateThreadsOf(const Widget& window)
{
    return window.findChildren<CUpdateThread*>(QString(), Qt::FindDirectChildrenOnly);
}

} // namespace

WindowRig::WindowRig(HidAccess& hid, Polling polling)
{
    open(hid, polling);
}

WindowRig::WindowRig(std::unique_ptr<HidAccess> ownedHid, Polling polling)
    : m_owned_hid(std::move(ownedHid))
{
    open(*m_owned_hid, polling);
}

WindowRig::~WindowRig() = default;

void WindowRig::open(HidAccess& hid, Polling polling)
{
    resetDeviceState();
    m_window = std::make_unique<Widget>(hid);
    if (polling == Polling::Stopped)
        stopPolling();
}

void WindowRig::stopPolling()
{
    if (CFindDeviceThread* polling = m_window->findDeviceThread()) {
        polling->m_stop_polling = true;
        polling->wait();
    }
    // The passes it asked for before it stopped would otherwise run at the next event loop.
    QCoreApplication::removePostedEvents(m_window.get(), QEvent::MetaCall);
}

int WindowRig::updateThreadCount() const
{
    return updateThreadsOf(*m_window).size();
}

std::chrono::nanoseconds WindowRig::clickUpdateAndFlash()
{
    const int threadsBefore = updateThreadCount();
    updateButton()->click();
    return deliverUpdateSignals(threadsBefore);
}

std::chrono::nanoseconds WindowRig::deliverUpdateSignals(int threadsBefore)
{
    const QList<CUpdateThread*> threads = updateThreadsOf(*m_window);
    for (int i = threadsBefore; i < threads.size(); ++i)
        threads[i]->wait();
    const auto start = std::chrono::steady_clock::now();
    QCoreApplication::sendPostedEvents(m_window.get(), QEvent::MetaCall);
    return std::chrono::steady_clock::now() - start;
}

void WindowRig::deleteUpdateThreads()
{
    for (CUpdateThread* thread : updateThreadsOf(*m_window)) {
        thread->wait();
        delete thread;
    }
}

void WindowRig::resetDeviceState()
{
    g_device_version = 0;
    g_bootloader_id = 0;
}

const char* WindowRig::nameOf(WindowState state)
{
    // In the order of the enumeration.
    static const char* const names[] = {"NoDevice", "UpdateMode", "UpdateOffered", "Flashing",
                                        "UpToDate", "Finished",   "Contradictory"};
    const auto index = static_cast<std::size_t>(state);
    return index < std::size(names) ? names[index] : "?";
}
