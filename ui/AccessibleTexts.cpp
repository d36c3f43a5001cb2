#include "AccessibleTexts.h"

#include "FirmwareImage.h"

namespace {

QString embeddedVersion()
{
    return AccessibleTexts::versionText(EMBEDDED_FIRMWARE_VERSION);
}

// A blank controller reports no version; the info reply's 0xFFFF is kept as 0.
QString installedFirmware(std::uint32_t version)
{
    if (version == 0)
        return QStringLiteral("no firmware");
    return QStringLiteral("firmware %1").arg(AccessibleTexts::versionText(version));
}

} // namespace

QString AccessibleTexts::windowName()
{
    return QStringLiteral("QR5 Lumaro %1").arg(embeddedVersion());
}

QString AccessibleTexts::windowDescription(WindowState state, std::uint32_t installedVersion)
{
    const QString found = QStringLiteral("Controller in update mode with %1.")
                              .arg(installedFirmware(installedVersion));
    switch (state) {
    case WindowState::NoDevice:
        return QStringLiteral("No controller found. Connect the QR5 Lumaro with its USB cable.");
    case WindowState::UpdateMode:
        return found;
    case WindowState::UpdateOffered:
        return found + QStringLiteral(" Update to firmware %1 offered.").arg(embeddedVersion());
    case WindowState::Flashing:
        return QStringLiteral("Updating the controller to firmware %1. Keep it connected.")
            .arg(embeddedVersion());
    case WindowState::UpToDate:
        return found + QStringLiteral(" It is up to date.");
    case WindowState::Finished:
        return QStringLiteral("Update finished: firmware %1 written and verified.")
            .arg(embeddedVersion());
    case WindowState::Contradictory:
        // The window never describes itself in one.
        break;
    }
    return QString();
}

QString AccessibleTexts::updateButtonName()
{
    return QStringLiteral("Update");
}

QString AccessibleTexts::updateButtonDescription()
{
    return QStringLiteral("Writes firmware %1 to the controller.").arg(embeddedVersion());
}

QString AccessibleTexts::finishName()
{
    return QStringLiteral("Up to date");
}

QString AccessibleTexts::finishDescription(WindowState state)
{
    if (state == WindowState::Finished)
        return QStringLiteral("The controller now has firmware %1, written and verified.")
            .arg(embeddedVersion());
    return QStringLiteral("The controller has firmware %1.").arg(embeddedVersion());
}

QString AccessibleTexts::progressName()
{
    return QStringLiteral("Update progress");
}

QString AccessibleTexts::progressDescription()
{
    return QStringLiteral("Firmware pages written and verified.");
}

QString AccessibleTexts::logoName()
{
    return QStringLiteral("QR5 Lumaro");
}

QString AccessibleTexts::minimiseName()
{
    return QStringLiteral("Minimise");
}

QString AccessibleTexts::minimiseDescription()
{
    return QStringLiteral("Minimises the window.");
}

QString AccessibleTexts::closeName()
{
    return QStringLiteral("Close");
}

QString AccessibleTexts::closeDescription()
{
    return QStringLiteral("Closes the updater.");
}

QString AccessibleTexts::versionText(std::uint32_t version)
{
    return QStringLiteral("%1.%2")
        .arg(version >> 8, 0, 16)
        .arg(version & 0xFF, 2, 16, QLatin1Char('0'));
}
