// The Windows HID code against a real USB device: the updater window, cross-built for Windows on
// its SetupAPI HID access, runs under wine inside the kernel test's virtual machine, where the USB
// HID gadget plays the controller, already in its bootloader (wine cannot send the string requests
// of the switch). wine reaches the device through its hidraw node, which only the packaged udev
// rule opens to the unprivileged user it runs as. A Qt-free probe first lists what wine offers and
// exchanges one report. The device then falls silent for one command in the window's first run
// and is unplugged in the middle of a page in its second; the third must complete.

#include "FlashingReports.h"
#include "KernelRunResults.h"

#include <QFile>
#include <QTest>

#include <vector>

namespace {

using Report = FlashingOrder::Report;
using Role = FlashingOrder::Role;

constexpr int g_runner_deadline_ms = 290000;
// Run 1 loses the reply to page 5's CMD_WRITE_PAGE; run 2 loses the device after page 5's fifth
// chunk, so the window's write of the sixth fails. The gadget counts a run's reports from page
// 16's selection, the write after the run's own info request.
const std::size_t g_silent_report = FlashingOrder::writeOf(Role::WritePage, 5).number - 1;
const std::size_t g_unplug_report = FlashingOrder::writeOf(Role::Chunk, 5, 4).number - 1;
constexpr int g_runs = 3;

} // namespace

class TestWineKernelUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(LUMARO_WINDOWS_DRIVER))
                     && QFile::exists(QStringLiteral(LUMARO_WINDOWS_PROBE)),
                 "the Windows build's driver or probe is missing: run tools/build-windows first");
        const QString failure = m_results.runSteps(
            QStringLiteral("bootloader silent-at=1:%1 unplug-at=2:%2")
                .arg(g_silent_report)
                .arg(g_unplug_report),
            {QStringLiteral(LUMARO_WINDOWS_PROBE), QStringLiteral(LUMARO_WINDOWS_DRIVER " faults")},
            g_runner_deadline_ms);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        qInfo("VM: %s",
              qPrintable(m_results.linesStartingWith(QStringLiteral("vm-time")).join(", ")));

        m_received = m_results.receivedReports();
        m_run_starts = FlashingOrder::runStarts(m_received);
        QCOMPARE(int(m_run_starts.size()), g_runs);
        m_replug_at = m_received.size() - m_results.receivedReports(2).size();
    }

    void wineReachedTheDeviceThroughTheRule()
    {
        // The seat's user, which wine runs as, got the node from the rule's tag and from nothing
        // else.
        QVERIFY2(value(QStringLiteral("hidraw-access")).startsWith(QLatin1String("1000 600 TAGS="))
                     && value(QStringLiteral("hidraw-access")).contains(QLatin1String(":uaccess:")),
                 qPrintable(value(QStringLiteral("hidraw-access"))));
        QCOMPARE(m_results.linesStartingWith(QStringLiteral("step-rc")),
                 QStringList({"1 0", "2 0"}));
        QVERIFY(m_results.contains(QStringLiteral("driver-end")));
        QCOMPARE(value(QStringLiteral("gadget-rc")), QStringLiteral("0"));
        QCOMPARE(value(QStringLiteral("gadget-served")), QStringLiteral("1"));
        QCOMPARE(m_results.linesStartingWith(QStringLiteral("gadget-stderr")), QStringList());
        // Found among wine's own devices, with no string request: it was in its bootloader already.
        QCOMPARE(field(QStringLiteral("driver-discovery"), QStringLiteral("found")), 1);
        QCOMPARE(value(QStringLiteral("driver-string-requests")), QStringLiteral("0"));
        QCOMPARE(value(QStringLiteral("driver-offered")), QStringLiteral("update 1 finish 0"));
    }

    void probeExchangedAReportAmongWinesDevices()
    {
        // wine lists its own mouse and keyboard beside the controller; all of them open.
        QStringList listed = m_results.linesStartingWith(QStringLiteral("probe-interface"));
        for (QString& line : listed)
            line = line.section(QLatin1Char(' '), 1);
        listed.sort();
        QCOMPARE(listed, QStringList({"open 0079:1836", "open 845E:0001", "open 845E:0002"}));
        // A 65-byte write and a 65-byte read with the report ID in front: the info reply of a
        // bootloader with firmware 1.16.
        QCOMPARE(value(QStringLiteral("probe-write")), QStringLiteral("1 bytes 65"));
        QCOMPARE(value(QStringLiteral("probe-read")).section(' ', 0, 2),
                 QStringLiteral("1 bytes 65"));
        QVERIFY(
            value(QStringLiteral("probe-reply")).startsWith(QLatin1String("00A5E15A1E006D0116")));
        // A reply left unread waits for the next read, unless the input queue is emptied first;
        // wine's HID class driver refuses HidD_FlushQueue, so this is the drain that stands in for
        // it.
        QCOMPARE(value(QStringLiteral("probe-unread-reply")), QStringLiteral("1"));
        QCOMPARE(value(QStringLiteral("probe-flush")), QStringLiteral("1 read-after 0"));
        // A read with nothing to come gives up at its bound.
        const int idle = value(QStringLiteral("probe-idle-read")).section(' ', 2, 2).toInt();
        QVERIFY2(value(QStringLiteral("probe-idle-read")).startsWith(QLatin1String("0 "))
                     && idle >= 990 && idle < 1500,
                 qPrintable(value(QStringLiteral("probe-idle-read"))));
    }

    void silentDeviceGaveTheWindowBackWithinTheBound()
    {
        const QString run = QStringLiteral("driver-silent-run");
        // A discovery pass's read may have failed before it (see lastRunExchangedEveryReport).
        QVERIFY(field(run, QStringLiteral("failed-reads")) >= 1);
        QCOMPARE(field(run, QStringLiteral("failed-writes")), 0);
        // The read waited out its one-second bound, and not much longer: the cancelled overlapped
        // read came back at once. The margin is for a loaded emulated machine.
        const int waited = field(run, QStringLiteral("last-failed-read-ms"));
        QVERIFY2(waited >= 990 && waited < 1500, qPrintable(value(run)));
        QCOMPARE(field(QStringLiteral("driver-silent-after"), QStringLiteral("offered")), 1);
    }

    void unpluggedDeviceEndedTheRunUntilItCameBack()
    {
        // The write after the device left failed (and so may a pass's that ran before the run's end
        // was seen); passes then found no device until it came back.
        QVERIFY(field(QStringLiteral("driver-unplug-run"), QStringLiteral("failed-writes")) >= 1);
        QCOMPARE(field(QStringLiteral("driver-unplug-gone"), QStringLiteral("found")), 0);
        QVERIFY(field(QStringLiteral("driver-unplug-gone"), QStringLiteral("passes")) >= 1);
        QCOMPARE(field(QStringLiteral("driver-unplug-back"), QStringLiteral("found")), 1);
        QCOMPARE(value(QStringLiteral("gadget-attaches")), QStringLiteral("2"));
        // Run 2's last report before the unplug was the last one the first attach received; the
        // device came back to the next pass's info request, then run 3.
        QCOMPARE(m_replug_at, m_run_starts[1] + g_unplug_report);
        QVERIFY(FlashingOrder::isInfo(m_received[m_replug_at]));
        QVERIFY(m_run_starts[2] > m_replug_at);
    }

    void reportsFollowTheFlashingOrder()
    {
        // Discovery passes between the runs ask for the version; count them from what arrived.
        const auto infosFrom = [this](std::size_t at) {
            std::size_t count = 0;
            while (at + count < m_received.size() && FlashingOrder::isInfo(m_received[at + count]))
                ++count;
            return count;
        };
        FlashingReports model;
        std::size_t at = 0;
        const std::pair<std::size_t, bool> runs[g_runs] = {{g_silent_report, false},
                                                           {g_unplug_report, true},
                                                           {FlashingOrder::runReports(), false}};
        for (const auto& [delivered, preparedNext] : runs) {
            for (std::size_t i = infosFrom(at); i > 0; --i, ++at)
                model.info();
            model.run(delivered, preparedNext);
            at += delivered;
        }
        for (std::size_t i = infosFrom(at); i > 0; --i)
            model.info();

        const QString difference = FlashingReports::difference(model.received(), m_received);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    void lastRunExchangedEveryReport()
    {
        // The last run, from its own info request on: every write of a run, and as many of them
        // answered as a run reads.
        QVERIFY(m_run_starts.back() > m_replug_at);
        QVERIFY(m_run_starts.back() + FlashingOrder::runReports() <= m_received.size());
        const std::size_t first = m_run_starts.back() - 1;
        const std::vector<Report> run(
            m_received.begin() + std::ptrdiff_t(first),
            m_received.begin() + std::ptrdiff_t(m_run_starts.back() + FlashingOrder::runReports()));
        QCOMPARE(int(run.size()), FlashingOrder::writeCount());
        QVERIFY(FlashingOrder::isInfo(run.front()));
        QCOMPARE(FlashingOrder::commandsWithReply(run), FlashingOrder::readCount());

        // Every answer the device sent was read, once, but the one the probe flushed and the one
        // the driver left unread before the first run; the one it never sent is a failed read. Any
        // other failed read was a discovery pass's whose answer came after its 200 ms, as it may
        // under wine in the emulated machine: that answer was sent and emptied from the queue
        // unread. The replug cut a page's chunks short, and the device expects none after it. The
        // probe wrote three info requests and read two replies; every other write that succeeded
        // reached the device.
        const auto replug = m_received.begin() + std::ptrdiff_t(m_replug_at);
        const int answered = FlashingOrder::commandsWithReply({m_received.begin(), replug})
                           + FlashingOrder::commandsWithReply({replug, m_received.end()}) - 1;
        QCOMPARE(value(QStringLiteral("gadget-replies")).toInt(), answered);
        const int lateDiscoveryAnswers
            = field(QStringLiteral("driver-transfers"), QStringLiteral("failed-reads")) - 1;
        QVERIFY(lateDiscoveryAnswers >= 0);
        QCOMPARE(field(QStringLiteral("driver-transfers"), QStringLiteral("reads")),
                 answered - 4 - lateDiscoveryAnswers);
        QCOMPARE(field(QStringLiteral("driver-transfers"), QStringLiteral("written")),
                 int(m_received.size()) - 3);

        const std::vector<qint64> micros = m_results.receivedMicros();
        qInfo("device-side time of the last run (%d reports): %.3f s", FlashingOrder::writeCount(),
              (micros[m_run_starts.back() + FlashingOrder::runReports() - 1] - micros[first])
                  / 1e6);
    }

    void flashHoldsTheImage()
    {
        const QString difference = m_results.flashDifference();
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QCOMPARE(value(QStringLiteral("gadget-version")), QStringLiteral("0117"));
    }

    void windowEndedOnFinish()
    {
        QCOMPARE(value(QStringLiteral("driver-final")),
                 QStringLiteral("update 0 finish 1 progress 62 finished 1"));
        qInfo("flash: %s", qPrintable(value(QStringLiteral("driver-flash"))));
    }

private:
    QString value(const QString& tag) const { return m_results.value(tag); }
    int field(const QString& tag, const QString& name) const { return m_results.field(tag, name); }

    KernelRunResults m_results{QStringLiteral(LUMARO_KERNEL_WORK_DIR)};
    std::vector<Report> m_received;
    // Where each run starts in m_received, and where the second attach's reports start.
    std::vector<std::size_t> m_run_starts;
    std::size_t m_replug_at = 0;
};

QTEST_GUILESS_MAIN(TestWineKernelUpdate)
#include "TestWineKernelUpdate.moc"
