#include "FaultRig.h"

FaultRig::FaultRig(std::uint32_t readTimeoutMs)
    : BusRig<TimedBus>(readTimeoutMs)
{
    controller = &bus.addController();
    controller->setMode(VirtualController::Mode::Bootloader);
}

void FaultRig::startClean(std::uint16_t installedVersion)
{
    deleteUpdateThreads();
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

FaultRig::View FaultRig::view() const
{
    return View{shownState(), !progress()->isHidden(), progress()->value(), progress()->maximum()};
}

QStringList FaultRig::matchingStates(const View& v)
{
    switch (v.state) {
    case WindowState::NoDevice:
        if (v.progressValue == 0)
            return {QStringLiteral("Start-up"), QStringLiteral("No device")};
        break;
    case WindowState::UpdateOffered:
        if (v.progressShown)
            return {QStringLiteral("Update offered"), QStringLiteral("Update requested")};
        return {QStringLiteral("Update offered")};
    case WindowState::Flashing:
        if (v.progressMaximum == 62)
            return {QStringLiteral("Flashing")};
        break;
    case WindowState::UpToDate:
        return {QStringLiteral("Up to date")};
    case WindowState::Finished:
        if (v.progressShown && v.progressValue == 62)
            return {QStringLiteral("Flashed in this run"), QStringLiteral("Finished")};
        return {QStringLiteral("Flashed in this run")};
    case WindowState::UpdateMode:
    case WindowState::Contradictory:
        break;
    }
    return {};
}

QString FaultRig::describe(const View& v)
{
    return QStringLiteral("%1, progress %2 at %3 of %4")
        .arg(QLatin1String(nameOf(v.state)))
        .arg(v.progressShown ? QStringLiteral("shown") : QStringLiteral("hidden"))
        .arg(v.progressValue)
        .arg(v.progressMaximum);
}
