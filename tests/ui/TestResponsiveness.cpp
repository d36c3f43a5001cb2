#include "CFindDeviceThread.h"
#include "VirtualHidAccess.h"
#include "WindowRig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// A controller or a PC that makes every discovery pass slow in one way, until `fault` is cleared.
// Its waits are real: the polling thread and the window run as they do in the program.
class SlowBus : public VirtualHidAccess {
public:
    enum class Fault { None, Silent, Late, EveryOther, HangingStrings, SlowEnumeration };
    Fault fault = Fault::None;
    // The longest a read was allowed to wait: every read here is a discovery pass's.
    std::uint32_t longestReadBoundMs = 0;

    HidGuid getHidGuid() override
    {
        if (fault == Fault::SlowEnumeration)
            wait(2 * CFindDeviceThread::kPollingPeriodMs);
        return VirtualHidAccess::getHidGuid();
    }
    bool getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                          std::uint32_t bufferLength) override
    {
        if (fault == Fault::HangingStrings) {
            wait(kDiscoveryReplyTimeoutMs);
            return false;
        }
        return VirtualHidAccess::getIndexedString(handle, stringIndex, buffer, bufferLength);
    }
    bool readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                    std::uint32_t timeoutMs) override
    {
        longestReadBoundMs = std::max(longestReadBoundMs, timeoutMs);
        const bool unanswered = fault == Fault::Silent || fault == Fault::Late
                             || (fault == Fault::EveryOther && ++m_reads % 2 == 1);
        if (!unanswered)
            return VirtualHidAccess::readReport(handle, report, bytesRead, timeoutMs);
        // A late reply comes just after the bound and stays queued; a lost one never comes.
        if (fault != Fault::Late)
            flushInput(handle);
        wait(timeoutMs);
        return false;
    }

private:
    static void wait(unsigned long milliseconds)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds + 1));
    }
    int m_reads = 0;
};

} // namespace

Q_DECLARE_METATYPE(SlowBus::Fault)

class TestResponsiveness : public QObject {
    Q_OBJECT

private slots:
    void staysResponsive_data()
    {
        QTest::addColumn<SlowBus::Fault>("fault");
        QTest::addColumn<bool>("gameMode");
        QTest::newRow("bootloader never answers") << SlowBus::Fault::Silent << false;
        QTest::newRow("bootloader answers after the bound") << SlowBus::Fault::Late << false;
        QTest::newRow("bootloader answers every other request")
            << SlowBus::Fault::EveryOther << false;
        QTest::newRow("string requests hang") << SlowBus::Fault::HangingStrings << true;
        QTest::newRow("enumeration takes two periods") << SlowBus::Fault::SlowEnumeration << false;
    }

    void staysResponsive()
    {
        QFETCH(SlowBus::Fault, fault);
        QFETCH(bool, gameMode);
        constexpr int kRunMs = 20000;
        SlowBus bus;
        VirtualController& controller = bus.addController();
        controller.setInstalledVersion(EMBEDDED_FIRMWARE_VERSION);
        if (!gameMode)
            controller.setMode(VirtualController::Mode::Bootloader);
        bus.fault = fault;

        WindowRig rig(bus, WindowRig::Polling::Running);
        Widget& window = rig.window();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // The longest the event loop went without running a 10 ms timer.
        QElapsedTimer sinceTick;
        qint64 longestGapMs = 0;
        QTimer ticker;
        ticker.setInterval(10);
        connect(&ticker, &QTimer::timeout,
                [&] { longestGapMs = std::max(longestGapMs, sinceTick.restart()); });
        sinceTick.start();
        ticker.start();
        QEventLoop run;
        QTimer::singleShot(kRunMs, &run, &QEventLoop::quit);
        run.exec();
        qInfo("longest event-loop gap over %d s: %lld ms", kRunMs / 1000, longestGapMs);
        QVERIFY2(longestGapMs < 1500, qPrintable(QStringLiteral("%1 ms").arg(longestGapMs)));
        // A pass bounds its own waits well under the polling period, whatever the machine's load.
        QVERIFY2(bus.longestReadBoundMs <= CFindDeviceThread::kPollingPeriodMs / 2,
                 qPrintable(QString::number(bus.longestReadBoundMs)));

        // Answering again, the controller is found up to date within a pass or two.
        bus.fault = SlowBus::Fault::None;
        QTRY_COMPARE_WITH_TIMEOUT(rig.shownState(), WindowState::UpToDate, 5000);

        // Close ends the event loop with 0 at once.
        QElapsedTimer sinceClose;
        QTimer::singleShot(0, &window, [&] {
            sinceClose.start();
            window.findChild<QPushButton*>(QStringLiteral("ButtonClose"))->click();
        });
        const int exitCode = QApplication::exec();
        const qint64 closeMs = sinceClose.elapsed();
        qInfo("Close to the end of the event loop: %lld ms", closeMs);
        QCOMPARE(exitCode, 0);
        QVERIFY2(closeMs < 1000, qPrintable(QStringLiteral("%1 ms").arg(closeMs)));
    }
};

QTEST_MAIN(TestResponsiveness)
#include "TestResponsiveness.moc"
