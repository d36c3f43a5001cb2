#include "BusRig.h"
#include "FirmwareImage.h"

#include <QtTest>

// The window's own reading of what it shows tells every state from every other, and from the
// combinations that no state has, which only code that moves the widgets itself can make. A state
// that one pass or run reaches is read where that is tested; here, those of several steps.
class TestWindowState : public QObject {
    Q_OBJECT

private slots:
    void everyStateIsToldApart_data();
    void everyStateIsToldApart();
};

void TestWindowState::everyStateIsToldApart_data()
{
    QTest::addColumn<int>("installed");
    // What happens after the first discovery pass, in order.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<WindowState>("state");
    const int none = -1, older = 0x0116, current = int(EMBEDDED_FIRMWARE_VERSION);
    using Steps = QStringList;
    QTest::newRow("pressed") << older << Steps{"press"} << WindowState::UpdateOffered;
    QTest::newRow("offered again after stopping short")
        << older << Steps{"cut", "flash", "pass"} << WindowState::UpdateOffered;
    QTest::newRow("run without a press, stopped short")
        << older << Steps{"cut", "run"} << WindowState::UpdateMode;
    QTest::newRow("flashed in this run")
        << older << Steps{"flash", "pass"} << WindowState::Finished;
    QTest::newRow("Update beside Finish")
        << current << Steps{"show Update"} << WindowState::Contradictory;
    QTest::newRow("the bar beside the start picture")
        << none << Steps{"show bar"} << WindowState::Contradictory;
    QTest::newRow("finished without Finish")
        << older << Steps{"flash", "hide Finish"} << WindowState::Contradictory;
}

void TestWindowState::everyStateIsToldApart()
{
    QFETCH(int, installed);
    QFETCH(QStringList, steps);
    QFETCH(WindowState, state);
    BusRig rig;
    if (installed >= 0)
        rig.addBootloader(static_cast<std::uint16_t>(installed));
    rig.pass();

    for (const QString& step : steps) {
        if (step == "cut")
            rig.bus.controller(0).setWrongChecksumPage(17);
        else if (step == "press")
            rig.updateButton()->click();
        else if (step == "flash")
            rig.clickUpdateAndFlash();
        else if (step == "run")
            rig.window()._DownLoad_Firmware_Data(g_firmware_image);
        else if (step == "pass")
            rig.pass();
        else if (step == "show Update")
            rig.updateButton()->show();
        else if (step == "show bar")
            rig.progress()->show();
        else if (step == "hide Finish")
            rig.finish()->hide();
        else
            QFAIL(qPrintable("no such step: " + step));
    }

    QCOMPARE(rig.shownState(), state);
}

QTEST_MAIN(TestWindowState)
#include "TestWindowState.moc"
