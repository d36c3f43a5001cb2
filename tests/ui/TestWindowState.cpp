#include "BusRig.h"
#include "FirmwareImage.h"

#include <QtTest>

namespace {

// What happens after the first discovery pass.
using Steps = void (*)(BusRig<>&);

void nothing(BusRig<>&)
{
}

void press(BusRig<>& rig)
{
    rig.updateButton()->click();
}

void flash(BusRig<>& rig)
{
    rig.clickUpdateAndFlash();
}

void flashThenPass(BusRig<>& rig)
{
    flash(rig);
    rig.pass();
}

void flashCutShort(BusRig<>& rig)
{
    rig.bus.controller(0).setWrongChecksumPage(17);
    flash(rig);
}

void flashCutShortThenPass(BusRig<>& rig)
{
    flashCutShort(rig);
    rig.pass();
}

void runWithoutPressCutShort(BusRig<>& rig)
{
    rig.bus.controller(0).setWrongChecksumPage(17);
    rig.window()._DownLoad_Firmware_Data(g_firmware_image);
}

void showUpdate(BusRig<>& rig)
{
    rig.updateButton()->show();
}

void showProgress(BusRig<>& rig)
{
    rig.progress()->show();
}

void flashThenHideFinish(BusRig<>& rig)
{
    flash(rig);
    rig.finish()->hide();
}

} // namespace

Q_DECLARE_METATYPE(Steps)

// The window's own reading of what it shows tells every state from every other, and from the
// combinations that no state has, which only code that moves the widgets itself can make.
class TestWindowState : public QObject {
    Q_OBJECT

private slots:
    void everyStateIsToldApart_data();
    void everyStateIsToldApart();
};

void TestWindowState::everyStateIsToldApart_data()
{
    QTest::addColumn<int>("installed");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<WindowState>("state");
    const int none = -1, older = 0x0116, current = int(EMBEDDED_FIRMWARE_VERSION);
    QTest::newRow("no device") << none << Steps(nothing) << WindowState::NoDevice;
    QTest::newRow("offered") << older << Steps(nothing) << WindowState::UpdateOffered;
    QTest::newRow("pressed") << older << Steps(press) << WindowState::UpdateOffered;
    QTest::newRow("stopped short") << older << Steps(flashCutShort) << WindowState::Flashing;
    QTest::newRow("offered again after stopping short")
        << older << Steps(flashCutShortThenPass) << WindowState::UpdateOffered;
    QTest::newRow("run without a press, stopped short")
        << older << Steps(runWithoutPressCutShort) << WindowState::UpdateMode;
    QTest::newRow("up to date") << current << Steps(nothing) << WindowState::UpToDate;
    QTest::newRow("finished") << older << Steps(flash) << WindowState::Finished;
    QTest::newRow("flashed in this run") << older << Steps(flashThenPass) << WindowState::Finished;
    QTest::newRow("Update beside Finish")
        << current << Steps(showUpdate) << WindowState::Contradictory;
    QTest::newRow("the bar beside the start picture")
        << none << Steps(showProgress) << WindowState::Contradictory;
    QTest::newRow("finished without Finish")
        << older << Steps(flashThenHideFinish) << WindowState::Contradictory;
}

void TestWindowState::everyStateIsToldApart()
{
    QFETCH(int, installed);
    QFETCH(Steps, steps);
    QFETCH(WindowState, state);
    BusRig rig;
    if (installed >= 0)
        rig.addBootloader(static_cast<std::uint16_t>(installed));
    rig.pass();

    steps(rig);

    QCOMPARE(rig.shownState(), state);
}

QTEST_MAIN(TestWindowState)
#include "TestWindowState.moc"
