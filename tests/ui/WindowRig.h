#pragma once

#include "CFindDeviceThread.h"
#include "CUpdateThread.h"
#include "VirtualHidAccess.h"
#include "Widget.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QPushButton>

#include <memory>

// An updater window on a virtual HID bus, with its polling thread stopped so that a test decides
// when a discovery pass runs. Sleeps are recorded, not slept, and a read without a reply gives up
// after 20 ms.
class WindowRig {
public:
    WindowRig()
    {
        bus.setRealSleeps(false);
        bus.setReadTimeoutMs(20);
        g_device_version = 0;
        g_bootloader_id = 0;
    }

    Widget& open()
    {
        window = std::make_unique<Widget>(bus);
        CFindDeviceThread* polling = window->findDeviceThread();
        polling->m_stop_polling = true;
        polling->wait();
        // Drop the passes it asked for before it stopped.
        QCoreApplication::removePostedEvents(window.get(), QEvent::MetaCall);
        return *window;
    }

    VirtualController& addBootloader(std::uint16_t installedVersion)
    {
        VirtualController& controller = bus.addController();
        controller.setMode(VirtualController::Mode::Bootloader);
        controller.setInstalledVersion(installedVersion);
        return controller;
    }

    bool pass() { return window->_Open_Update_device(); }

    QPushButton* updateButton() const { return window->findChild<QPushButton*>("UpdateBtn"); }
    QPushButton* finish() const { return window->findChild<QPushButton*>("Finish"); }
    QProgressBar* progress() const { return window->findChild<QProgressBar*>("m_update_progress"); }
    int updateThreadCount() const
    {
        return window->findChildren<CUpdateThread*>(QString(), Qt::FindDirectChildrenOnly).size();
    }

    // A press of Update, followed through to the end of the flashing slot it leads to.
    void clickUpdateAndFlash()
    {
        const int threadsBefore = updateThreadCount();
        updateButton()->click();
        deliverUpdateSignals(threadsBefore);
    }

    // Waits for the update threads started since `threadsBefore` and runs their queued calls.
    void deliverUpdateSignals(int threadsBefore = 0)
    {
        const auto threads
            = window->findChildren<CUpdateThread*>(QString(), Qt::FindDirectChildrenOnly);
        for (int i = threadsBefore; i < threads.size(); ++i)
            threads[i]->wait();
        QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    }

    // Declared first so that it outlives the window.
    VirtualHidAccess bus;
    std::unique_ptr<Widget> window;
};
