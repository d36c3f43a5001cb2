// The discovery pass among other HID devices, on real kernels: in the kernel test's virtual
// machine the gadget plays the controller in its bootloader, first alone and then with eight
// more HID devices listed ahead of it, and the window's pass runs on the Windows build's
// SetupAPI access under wine and on the Linux build's hidraw access. Each pass must find the
// controller, and open every interface ahead of it once and nothing behind it: under wine the
// eight devices, on Linux (which enumerates the controller's vendor only) none. The time a pass
// takes is bench/discovery-in-vm's.

#include "KernelRunResults.h"

#include <QFile>
#include <QTest>

namespace {

constexpr int g_runner_deadline_ms = 290000;
constexpr int g_passes = 3;
constexpr int g_devices = 8;
// Below the controller's vendor 0079: wine lists them ahead of it.
const char* const g_ahead_vendor = "0070";

} // namespace

class TestKernelDiscovery : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(LUMARO_WINDOWS_PASS)),
                 "the Windows build's discovery program is missing: run tools/build-windows first");
        const QString passes = QString::number(g_passes);
        const QString windows = QStringLiteral(LUMARO_WINDOWS_PASS);
        const QString linux = QStringLiteral(LUMARO_LINUX_PASS);
        // wine's own mouse and keyboard are listed beside the controller.
        const QString failure = m_results.runSteps(
            QStringLiteral("bootloader"),
            {QStringList{windows, "wine-0", passes, "3"}.join(' '),
             QStringList{linux, "linux-0", passes}.join(' '),
             QStringList{"foreign-hid", QStringLiteral(LUMARO_FOREIGN_HID),
                         QString::number(g_devices), "0", g_ahead_vendor}
                 .join(' '),
             QStringList{windows, "wine-8", passes, QString::number(3 + g_devices)}.join(' '),
             QStringList{linux, "linux-8", passes}.join(' ')},
            g_runner_deadline_ms);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        for (const char* tag : {"wine-0-us", "linux-0-us", "wine-8-us", "linux-8-us"})
            qInfo("%s %s", tag, qPrintable(m_results.value(QLatin1String(tag))));
    }

    void everyStepRan()
    {
        QCOMPARE(m_results.linesStartingWith(QStringLiteral("step-rc")),
                 QStringList({"1 0", "2 0", "3 0", "4 0", "5 0"}));
        QCOMPARE(m_results.value(QStringLiteral("foreign-hid")), QStringLiteral("created 8"));
        QCOMPARE(m_results.value(QStringLiteral("gadget-served")), QStringLiteral("1"));
        QCOMPARE(m_results.linesStartingWith(QStringLiteral("gadget-stderr")), QStringList());
    }

    void passOpenedEveryInterfaceAheadOfTheController_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<int>("present");
        QTest::addColumn<int>("controllerIndex");
        QTest::addColumn<int>("foreignOpensPerPass");
        // wine: its mouse and keyboard (845E) sort behind the controller; the eight devices ahead.
        QTest::newRow("wine, controller alone") << "wine-0" << 3 << 0 << 0;
        QTest::newRow("wine, 8 devices ahead")
            << "wine-8" << 3 + g_devices << g_devices << g_devices;
        // Linux lists vendor 0079 only.
        QTest::newRow("linux, controller alone") << "linux-0" << 1 << 0 << 0;
        QTest::newRow("linux, 8 other devices") << "linux-8" << 1 << 0 << 0;
    }

    void passOpenedEveryInterfaceAheadOfTheController()
    {
        QFETCH(QString, tag);
        QFETCH(int, present);
        QFETCH(int, controllerIndex);
        QFETCH(int, foreignOpensPerPass);
        const QString walk = tag + QStringLiteral("-walk");
        QCOMPARE(field(walk, QStringLiteral("present")), present);
        QCOMPARE(field(walk, QStringLiteral("controller-index")), controllerIndex);
        QCOMPARE(field(walk, QStringLiteral("unopenable")), 0);
        const QString passes = tag + QStringLiteral("-passes");
        QCOMPARE(m_results.value(passes).section(QLatin1Char(' '), 0, 0).toInt(), g_passes);
        QCOMPARE(field(passes, QStringLiteral("found")), g_passes);
        QCOMPARE(field(passes, QStringLiteral("controller-opens")), g_passes);
        QCOMPARE(field(passes, QStringLiteral("foreign-opens")), g_passes * foreignOpensPerPass);
    }

private:
    int field(const QString& tag, const QString& name) const { return m_results.field(tag, name); }

    KernelRunResults m_results{QStringLiteral(LUMARO_KERNEL_WORK_DIR)};
};

QTEST_GUILESS_MAIN(TestKernelDiscovery)
#include "TestKernelDiscovery.moc"
