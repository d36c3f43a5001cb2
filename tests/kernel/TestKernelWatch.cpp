// The updater window left to its own polling thread on the real HID stack beside a bootloader
// that withholds every reply, then answers, up to date: the event loop must keep running, the
// controller be found once it answers, passes that find it up to date change nothing a person or
// a screen reader would notice, and Close end the program at once.

#include "KernelRunResults.h"

#include <QTest>

namespace {

constexpr int g_runner_deadline_ms = 240000;

} // namespace

class TestKernelWatch : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString failure
            = m_results.runScenario(QStringLiteral("watch"), {}, g_runner_deadline_ms);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QCOMPARE(m_results.value(QStringLiteral("driver-rc")), QStringLiteral("0"));
    }

    void silentBootloaderLeavesTheWindowResponsive()
    {
        const int gap = field(QStringLiteral("watch-muted"), QStringLiteral("longest-gap-ms"));
        qInfo("longest event-loop gap over 20 s beside the silent bootloader: %d ms", gap);
        QVERIFY2(gap > 0 && gap < 1500, qPrintable(m_results.value(QStringLiteral("watch-muted"))));
        // Answering again, it is found up to date.
        QCOMPARE(field(QStringLiteral("watch-found"), QStringLiteral("finish")), 1);
    }

    void passesThatFindTheSameChangeNothing()
    {
        const QString tag = QStringLiteral("watch-steady");
        qInfo("5 s up to date with the focus on the finish indicator: %s",
              qPrintable(m_results.value(tag)));
        QCOMPARE(field(tag, QStringLiteral("focused")), 1);
        QVERIFY(field(tag, QStringLiteral("passes")) >= 5);
        QCOMPARE(field(tag, QStringLiteral("focus-changes")), 0);
        QCOMPARE(field(tag, QStringLiteral("visibility-changes")), 0);
    }

    void closeEndsTheProgramAtOnce()
    {
        const QString tag = QStringLiteral("watch-close");
        QCOMPARE(field(tag, QStringLiteral("rc")), 0);
        const int ms = field(tag, QStringLiteral("ms"));
        qInfo("Close to the end of the event loop: %d ms", ms);
        QVERIFY2(ms >= 0 && ms < 1000, qPrintable(m_results.value(tag)));
    }

private:
    int field(const QString& tag, const QString& name) const { return m_results.field(tag, name); }
    KernelRunResults m_results{QStringLiteral(LUMARO_KERNEL_WORK_DIR)};
};

QTEST_GUILESS_MAIN(TestKernelWatch)
#include "TestKernelWatch.moc"
