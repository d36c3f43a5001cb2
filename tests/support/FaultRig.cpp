#include "FaultRig.h"

#include "CUpdateThread.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QPushButton>

using Clock = std::chrono::steady_clock;

FaultRig::FaultRig(std::uint32_t readTimeoutMs)
{
    bus.setRealSleeps(false);
    bus.setReadTimeoutMs(readTimeoutMs);
    controller = &bus.addController();
    controller->setMode(VirtualController::Mode::Bootloader);
    g_device_version = 0;
    g_bootloader_id = 0;

    window = std::make_unique<ProbedWidget>(bus);
    CFindDeviceThread* polling = window->findDeviceThread();
    polling->m_stop_polling = true;
    polling->wait();
    QCoreApplication::removePostedEvents(window.get(), QEvent::MetaCall);
}

FaultRig::~FaultRig() = default;

void FaultRig::startClean(std::uint16_t installedVersion)
{
    bus.clearFaults();
    bus.setKeyHeld(HidKey::LeftShift, false);
    bus.setKeyHeld(HidKey::RightShift, false);
    bus.setPlugged(*controller, false);
    pass();
    controller->setInstalledVersion(installedVersion);
    controller->setWrongChecksumPage(-1);
    controller->resetCounters();
    bus.setPlugged(*controller, true);
    pass();
    bus.clearTrace();
    bus.resetTiming();
}

bool FaultRig::pass()
{
    return window->_Open_Update_device();
}

std::chrono::nanoseconds FaultRig::clickUpdateAndFlash()
{
    updateButton()->click();
    return deliverRuns();
}

std::chrono::nanoseconds FaultRig::deliverRuns()
{
    const auto threads
        = window->findChildren<CUpdateThread*>(QString(), Qt::FindDirectChildrenOnly);
    for (CUpdateThread* thread : threads)
        thread->wait();
    const Clock::time_point start = Clock::now();
    QCoreApplication::sendPostedEvents(window.get(), QEvent::MetaCall);
    const auto held = Clock::now() - start;
    // The window keeps every update thread until it goes; thousands of cases would pile them up.
    qDeleteAll(threads);
    return held;
}

FaultRig::View FaultRig::view() const
{
    return View{window->showsControllerPicture(),
                !updateButton()->isHidden(),
                !progress()->isHidden(),
                progress()->value(),
                progress()->maximum(),
                !finish()->isHidden(),
                window->updateFinished()};
}

QStringList FaultRig::matchingStates(const View& v)
{
    QStringList states;
    const bool startLook = !v.controllerPicture && !v.updateShown && !v.progressShown
                        && v.progressValue == 0 && !v.finishShown && !v.updateFinished;
    if (startLook)
        states << QStringLiteral("Start-up") << QStringLiteral("No device");
    if (v.controllerPicture && v.updateShown && !v.finishShown && !v.updateFinished)
        states << QStringLiteral("Update offered");
    if (v.controllerPicture && !v.updateShown && v.finishShown)
        states << QStringLiteral("Up to date");
    if (v.controllerPicture && !v.updateShown && v.finishShown && v.updateFinished)
        states << QStringLiteral("Flashed in this run");
    if (v.controllerPicture && v.updateShown && v.progressShown && !v.finishShown
        && !v.updateFinished)
        states << QStringLiteral("Update requested");
    if (v.controllerPicture && !v.updateShown && v.progressShown && v.progressMaximum == 62
        && !v.finishShown && !v.updateFinished)
        states << QStringLiteral("Flashing");
    if (v.controllerPicture && !v.updateShown && v.progressShown && v.progressValue == 62
        && v.finishShown && v.updateFinished)
        states << QStringLiteral("Finished");
    return states;
}

QString FaultRig::describe(const View& v)
{
    return QStringLiteral("picture %1, Update %2, progress %3 at %4 of %5, Finish %6, finished %7")
        .arg(v.controllerPicture ? QStringLiteral("controller") : QStringLiteral("start"))
        .arg(v.updateShown ? QStringLiteral("shown") : QStringLiteral("hidden"))
        .arg(v.progressShown ? QStringLiteral("shown") : QStringLiteral("hidden"))
        .arg(v.progressValue)
        .arg(v.progressMaximum)
        .arg(v.finishShown ? QStringLiteral("shown") : QStringLiteral("hidden"))
        .arg(v.updateFinished ? QStringLiteral("true") : QStringLiteral("false"));
}

QPushButton* FaultRig::updateButton() const
{
    return window->findChild<QPushButton*>(QStringLiteral("UpdateBtn"));
}

QPushButton* FaultRig::finish() const
{
    return window->findChild<QPushButton*>(QStringLiteral("Finish"));
}

QProgressBar* FaultRig::progress() const
{
    return window->findChild<QProgressBar*>(QStringLiteral("m_update_progress"));
}
