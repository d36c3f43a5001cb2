#include <QtTest>

#include <cstring>

#include "BootloaderProtocol.h"
#include "LatencyModel.h"
#include "VirtualController.h"

namespace {

// A page as the updater sends it, up to the WRITE_PAGE that leaves the device programming.
void sendPage(LatencyModel& latency, VirtualController& controller)
{
    std::uint8_t report[kReportSize] = {};
    writeCommandHeader(report, CMD_SET_PAGE);
    writePageArguments(report, firmwarePageAddress(3), 3);
    latency.transferTo(controller, report + 1);
    std::uint8_t reply[kReportDataSize];
    QVERIFY(latency.transferFrom(controller, reply));
    std::memset(report + 1, 0x11, kReportDataSize);
    for (std::size_t chunk = 0; chunk < FIRMWARE_CHUNKS_PER_PAGE; ++chunk)
        latency.transferTo(controller, report + 1);
    writeCommandHeader(report, CMD_WRITE_PAGE);
    latency.transferTo(controller, report + 1);
}

} // namespace

class TestLatencyModel : public QObject {
    Q_OBJECT

private slots:
    void noReplyFailsWithoutWaiting();
    void replyAfterAPageWrite_data();
    void replyAfterAPageWrite();
};

void TestLatencyModel::noReplyFailsWithoutWaiting()
{
    LatencyModel latency;
    latency.setReportMicros(50000);
    VirtualController controller;
    controller.setMode(VirtualController::Mode::Bootloader);
    std::uint8_t data[kReportDataSize];
    QVERIFY(!latency.transferFrom(controller, data));
    QCOMPARE(latency.modelledDelayNanos(), std::uint64_t(0));
}

void TestLatencyModel::replyAfterAPageWrite_data()
{
    QTest::addColumn<std::uint32_t>("reportMicros");
    QTest::addColumn<std::uint32_t>("pageProgramMicros");
    QTest::addColumn<bool>("deviceLeft");
    // The least the reply's own transfer must have waited; 0 means not at all.
    QTest::addColumn<std::uint32_t>("leastMicros");

    QTest::newRow("report time") << 3000u << 0u << false << 2900u;
    QTest::newRow("page program") << 0u << 30000u << false << 29000u;
    QTest::newRow("page program, then report time") << 2000u << 30000u << false << 31000u;
    QTest::newRow("the device left while programming") << 0u << 30000u << true << 0u;
}

void TestLatencyModel::replyAfterAPageWrite()
{
    QFETCH(std::uint32_t, reportMicros);
    QFETCH(std::uint32_t, pageProgramMicros);
    QFETCH(bool, deviceLeft);
    QFETCH(std::uint32_t, leastMicros);

    LatencyModel latency;
    latency.setReportMicros(reportMicros);
    VirtualController controller;
    controller.setMode(VirtualController::Mode::Bootloader);
    controller.setPageProgramMicros(pageProgramMicros);
    sendPage(latency, controller);
    QCOMPARE(controller.programmedPageCount(), 1);
    if (deviceLeft)
        latency.forgetBusyDevice();

    const std::uint64_t before = latency.modelledDelayNanos();
    std::uint8_t reply[kReportDataSize];
    QVERIFY(latency.transferFrom(controller, reply));
    const std::uint64_t waited = latency.modelledDelayNanos() - before;
    if (leastMicros == 0)
        QCOMPARE(waited, std::uint64_t(0));
    else
        QVERIFY2(waited >= std::uint64_t(leastMicros) * 1000, qPrintable(QString::number(waited)));
}

QTEST_GUILESS_MAIN(TestLatencyModel)
#include "TestLatencyModel.moc"
