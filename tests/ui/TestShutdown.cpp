#include "FlashingOrder.h"

#include <QtTest>

#include <QProcess>

// Closing the window at any moment must leave a process that ends cleanly, although the polling
// thread, never waited for, wakes up among the destroyed objects; under the sanitizer builds any
// touch of one fails the case.
class TestShutdown : public QObject {
    Q_OBJECT

private slots:
    void closingLeavesNoCrashAtExit_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("lingerMs");
        QTest::addColumn<bool>("stopFlag");
        // The writes from the click to the end of the run: the update's, at least.
        QTest::addColumn<int>("runWrites");
        // -1: either; a run whose signal was already queued when the close came still runs first.
        QTest::addColumn<int>("finished");
        // The polling thread sleeps 500 ms between its checks: lingering longer than that makes it
        // run after everything is destroyed; not lingering makes it race the process's own exit.
        for (int linger : {0, 1100}) {
            QTest::addRow("polling, linger %d", linger) << "polling" << linger << true << -1 << 0;
            QTest::addRow("during a pass, linger %d", linger)
                << "pass" << linger << true << -1 << 0;
            QTest::addRow("right after a click, linger %d", linger)
                << "click" << linger << true << -1 << -1;
            QTest::addRow("during flashing, linger %d", linger)
                << "flashing" << linger << true << FlashingOrder::writeCount() << 1;
            QTest::addRow("closed not by its button, linger %d", linger)
                << "other" << linger << false << -1 << 0;
        }
    }

    void closingLeavesNoCrashAtExit()
    {
        QFETCH(QString, scenario);
        QFETCH(int, lingerMs);
        QFETCH(bool, stopFlag);
        QFETCH(int, runWrites);
        QFETCH(int, finished);

        QProcess probe;
        // Text mode: on Windows the probe's lines end in CR LF.
        probe.start(QStringLiteral(LUMARO_SHUTDOWN_PROBE), {scenario, QString::number(lingerMs)},
                    QIODevice::ReadWrite | QIODevice::Text);
        QVERIFY2(probe.waitForFinished(60000), "the probe did not end");
        const QByteArray out = probe.readAllStandardOutput();
        const QByteArray err = probe.readAllStandardError();
        const QString report = QString::fromLocal8Bit(out + err);

        QVERIFY2(probe.exitStatus() == QProcess::NormalExit, qPrintable(report));
        QVERIFY2(probe.exitCode() == 0, qPrintable(report));
        for (const char* word :
             {"Sanitizer", "runtime error", "QThread: Destroyed while thread is still running"})
            QVERIFY2(!err.contains(word), qPrintable(report));
        QVERIFY2(out.endsWith("exit=0\n"), qPrintable(report));

        // The close came at the moment the scenario names.
        QVERIFY2(out.contains("close-sent=1\n"), qPrintable(report));
        QVERIFY2(out.contains(QByteArray("stop-flag=") + (stopFlag ? "1" : "0") + "\n"),
                 qPrintable(report));
        if (runWrites >= 0) {
            // The whole run went out although the close came in its middle. Passes that the polling
            // thread asked for around the click add their info request each, as many as the
            // machine's load lets through.
            const int at = out.indexOf("run-writes=");
            QVERIFY2(at >= 0, qPrintable(report));
            const int writes = out.mid(at + 11, out.indexOf('\n', at) - at - 11).toInt();
            QVERIFY2(writes >= runWrites && writes <= runWrites + 10, qPrintable(report));
        }
        if (finished >= 0)
            QVERIFY2(out.contains("update-finished=" + QByteArray::number(finished) + "\n"),
                     qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(TestShutdown)
#include "TestShutdown.moc"
