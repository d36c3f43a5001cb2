#include <QPoint>
#include <QVector>
#include <QtTest>

#include <array>
#include <cstring>

#include "FlashingOrder.h"
#include "LatencyModel.h"
#include "TestSupport.h"
#include "VirtualController.h"

namespace {

using Data = std::array<std::uint8_t, kReportDataSize>;

// The controller as the updater finds it after the switch.
struct Bootloader : VirtualController {
    Bootloader() { setMode(Mode::Bootloader); }
};

// The 64 data bytes of a command, without the report ID; `fill` stands in for whatever the host's
// buffer held before.
Data command(std::uint8_t code, std::uint8_t fill = 0x00)
{
    Data data;
    data.fill(fill);
    data[0] = COMMAND_LEAD_BYTE;
    data[1] = code;
    data[2] = COMMAND_GUARD_BYTE;
    data[3] = static_cast<std::uint8_t>(0xFF - code);
    return data;
}

// SET_PAGE or PAGE_CHECKSUM for a page, as the updater sends them: the page's address, then the
// page number or the checksum flag.
Data pageCommand(std::uint8_t code, int page)
{
    Data data = command(code, 0x77);
    const std::uint32_t address = firmwarePageAddress(page);
    for (int i = 0; i < 4; ++i)
        data[4 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    data[8] = code == CMD_SET_PAGE ? static_cast<std::uint8_t>(page) : PAGE_CHECKSUM_FLAG;
    return data;
}

// Deterministic page contents that differ from page to page.
std::array<std::uint8_t, FIRMWARE_PAGE_SIZE> pageBytes(int page)
{
    std::array<std::uint8_t, FIRMWARE_PAGE_SIZE> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + page * 13 + 1);
    return bytes;
}

QByteArray takeReply(VirtualController& controller)
{
    Data reply;
    reply.fill(0xCC);
    if (!controller.takeInputReport(reply.data()))
        return "none";
    return hexBytes(reply.data(), kReportDataSize);
}

// SET_PAGE, its reply, eight chunks and WRITE_PAGE with its reply, as the updater sends them.
void programPage(VirtualController& controller, int page,
                 const std::array<std::uint8_t, FIRMWARE_PAGE_SIZE>& bytes)
{
    controller.receiveOutputReport(pageCommand(CMD_SET_PAGE, page).data());
    controller.takeInputReport(Data().data());
    for (std::size_t chunk = 0; chunk < FIRMWARE_CHUNKS_PER_PAGE; ++chunk)
        controller.receiveOutputReport(bytes.data() + chunk * FIRMWARE_CHUNK_SIZE);
    controller.receiveOutputReport(command(CMD_WRITE_PAGE).data());
    controller.takeInputReport(Data().data());
}

void programPage(VirtualController& controller, int page)
{
    programPage(controller, page, pageBytes(page));
}

std::uint32_t checksumReply(VirtualController& controller, int page)
{
    controller.receiveOutputReport(pageCommand(CMD_PAGE_CHECKSUM, page).data());
    Data reply{};
    if (!controller.takeInputReport(reply.data()))
        return 0xDEADBEEF;
    return reply[4] | reply[5] << 8 | reply[6] << 16 | static_cast<std::uint32_t>(reply[7]) << 24;
}

// A page as the updater sends it through the latency model, up to the WRITE_PAGE that leaves the
// device programming.
void sendPage(LatencyModel& latency, VirtualController& controller)
{
    latency.transferTo(controller, pageCommand(CMD_SET_PAGE, 3).data());
    Data reply;
    QVERIFY(latency.transferFrom(controller, reply.data()));
    const auto bytes = pageBytes(3);
    for (std::size_t chunk = 0; chunk < FIRMWARE_CHUNKS_PER_PAGE; ++chunk)
        latency.transferTo(controller, bytes.data() + chunk * FIRMWARE_CHUNK_SIZE);
    latency.transferTo(controller, command(CMD_WRITE_PAGE).data());
}

} // namespace

Q_DECLARE_METATYPE(QVector<QPoint>)

class TestVirtualController : public QObject {
    Q_OBJECT

private slots:
    void switchSequence_data()
    {
        QTest::addColumn<QVector<QPoint>>("requests"); // x: string index, y: length
        QTest::addColumn<bool>("restarts");

        const auto lengths = [](std::initializer_list<int> list, int index = 254) {
            QVector<QPoint> requests;
            for (int length : list)
                requests << QPoint(index, length);
            return requests;
        };
        QTest::newRow("only the first four") << lengths({14, 15, 16, 17}) << false;
        QTest::newRow("16 left out") << lengths({14, 15, 17, 18}) << false;
        QTest::newRow("reversed") << lengths({18, 17, 16, 15, 14}) << false;
        QTest::newRow("another string index") << lengths({14, 15, 16, 17, 18}, 3) << false;
        QTest::newRow("repeated 14 starts the count again")
            << lengths({14, 14, 15, 16, 17, 18}) << true;
        QTest::newRow("14 twice, then 16") << lengths({14, 14, 16, 17, 18}) << false;
        QTest::newRow("a wrong length resets") << lengths({14, 15, 16, 19, 17, 18}) << false;
        QTest::newRow("after a reset a full run still works")
            << lengths({14, 15, 16, 19, 14, 15, 16, 17, 18}) << true;
        QTest::newRow("another index in between resets")
            << (lengths({14, 15}) << QPoint(2, 16) << lengths({16, 17, 18})) << false;
        QTest::newRow("a full run after an unrelated request")
            << (QVector<QPoint>{QPoint(1, 255)} << lengths({14, 15, 16, 17, 18})) << true;
    }

    void switchSequence()
    {
        QFETCH(QVector<QPoint>, requests);
        QFETCH(bool, restarts);

        VirtualController controller;
        for (int i = 0; i < requests.size(); ++i) {
            QVERIFY2(!controller.restartRequested(), "restart requested before the last request");
            std::uint8_t buffer[255];
            QVERIFY(controller.stringRequest(requests[i].x(), buffer, requests[i].y()));
        }
        QCOMPARE(controller.restartRequested(), restarts);
        // The device only restarts once the transport lets it go.
        QCOMPARE(controller.mode(), VirtualController::Mode::Normal);
        QCOMPARE(controller.vendorId(), CONTROLLER_VID);
    }

    void stringDescriptors_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("expected"); // what lands in the buffer; the rest stays EE

        QTest::newRow("languages") << 0 << 255 << QByteArray("04 03 09 04");
        QTest::newRow("product, whole")
            << 2 << 255
            << QByteArray("1E 03 51 00 52 00 35 00 20 00 43 00 6F 00 6E 00 "
                          "74 00 72 00 6F 00 6C 00 6C 00 65 00 72 00");
        QTest::newRow("switch string cut to 14")
            << 254 << 14 << QByteArray("18 03 51 00 52 00 35 00 20 00 73 00 65 00");
        QTest::newRow("switch string cut to 18")
            << 254 << 18 << QByteArray("18 03 51 00 52 00 35 00 20 00 73 00 65 00 72 00 76 00");
        QTest::newRow("two bytes: header only") << 1 << 2 << QByteArray("0E 03");
    }

    void stringDescriptors()
    {
        QFETCH(int, index);
        QFETCH(int, length);
        QFETCH(QByteArray, expected);

        VirtualController controller;
        std::uint8_t buffer[300];
        std::memset(buffer, 0xEE, sizeof(buffer));
        QVERIFY(controller.stringRequest(index, buffer, length));
        const int size = (expected.size() + 1) / 3;
        QCOMPARE(hexBytes(buffer, size), expected);
        QCOMPARE(buffer[size], std::uint8_t(0xEE));
    }

    void bootloaderStallsStringRequests()
    {
        Bootloader controller;
        std::uint8_t buffer[32];
        std::memset(buffer, 0xEE, sizeof(buffer));
        for (std::uint32_t length : SWITCH_STRING_LENGTHS)
            QVERIFY(!controller.stringRequest(SWITCH_STRING_INDEX, buffer, length));
        QVERIFY(!controller.restartRequested());
        QCOMPARE(hexBytes(buffer, 2), QByteArray("EE EE"));

        // Strings that normal mode does not have stall too, and break the sequence.
        VirtualController normal;
        QVERIFY(!normal.stringRequest(77, buffer, 14));
    }

    void infoReply_data()
    {
        QTest::addColumn<int>("identifier");
        QTest::addColumn<int>("version");
        QTest::addColumn<QByteArray>("reply");

        const QByteArray zeros = QByteArray(" 00").repeated(56);
        QTest::newRow("bootloader, 1.16") << 0x006D << 0x0116 << "A5 E1 5A 1E 00 6D 01 16" + zeros;
        QTest::newRow("blank") << 0x006D << 0xFFFF << "A5 E1 5A 1E 00 6D FF FF" + zeros;
    }

    void infoReply()
    {
        QFETCH(int, identifier);
        QFETCH(int, version);
        QFETCH(QByteArray, reply);

        Bootloader controller;
        controller.setIdentifier(static_cast<std::uint16_t>(identifier));
        controller.setInstalledVersion(static_cast<std::uint16_t>(version));
        // The bytes behind the header are whatever the host's buffer held; the reply does not care.
        controller.receiveOutputReport(command(CMD_GET_INFO, 0x5C).data());
        QCOMPARE(controller.queuedInputReportCount(), 1);
        QCOMPARE(takeReply(controller), reply);
        QVERIFY(!controller.hasInputReport());
    }

    void ignoresWhatItDoesNotAnswer_data()
    {
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<bool>("bootloader"); // normal mode takes no report at all

        const auto bytes = [](const Data& data) {
            return QByteArray(reinterpret_cast<const char*>(data.data()), kReportDataSize);
        };
        // A command whose header byte `at` is set to `value`.
        const auto header = [&](std::uint8_t code, int at, std::uint8_t value) {
            Data data = command(code);
            data[at] = value;
            return bytes(data);
        };
        QTest::newRow("ping") << header(CMD_PING, 0, COMMAND_LEAD_BYTE) << true;
        QTest::newRow("unknown command") << header(0xE6, 0, COMMAND_LEAD_BYTE) << true;
        QTest::newRow("wrong guard byte") << header(CMD_GET_INFO, 2, 0x5B) << true;
        QTest::newRow("wrong complement") << header(CMD_GET_INFO, 3, 0x1F) << true;
        QTest::newRow("wrong lead byte") << header(CMD_GET_INFO, 0, 0xA4) << true;
        QTest::newRow("zeros") << QByteArray(kReportDataSize, '\0') << true;
        QTest::newRow("info in normal mode") << bytes(command(CMD_GET_INFO)) << false;
        QTest::newRow("set page in normal mode") << bytes(pageCommand(CMD_SET_PAGE, 0)) << false;
    }

    void ignoresWhatItDoesNotAnswer()
    {
        QFETCH(QByteArray, report);
        QFETCH(bool, bootloader);

        VirtualController controller;
        if (bootloader)
            controller.setMode(VirtualController::Mode::Bootloader);
        controller.receiveOutputReport(reinterpret_cast<const std::uint8_t*>(report.constData()));
        QVERIFY(!controller.hasInputReport());
        QCOMPARE(controller.receivedReportCount(), bootloader ? 1 : 0);
        QCOMPARE(controller.programmedPageCount(), 0);
    }

    void repliesQueueInOrder()
    {
        Bootloader controller;
        controller.receiveOutputReport(command(CMD_GET_INFO).data());
        controller.receiveOutputReport(
            pageCommand(CMD_PAGE_CHECKSUM, FIRMWARE_CLOSING_PAGE).data());
        QCOMPARE(controller.queuedInputReportCount(), 2);
        QVERIFY(takeReply(controller).startsWith("A5 E1 5A 1E"));
        QVERIFY(takeReply(controller).startsWith("A5 E5 5A 1A"));
        QCOMPARE(takeReply(controller), QByteArray("none"));
    }

    void pageProgramming_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("commandChunk"); // the chunk that holds an info request, -1 for none
        QTest::newRow("first") << 0 << -1;
        QTest::newRow("closing") << int(FIRMWARE_CLOSING_PAGE) << -1;
        QTest::newRow("last, ends at byte 31,231") << int(FIRMWARE_PAGE_COUNT - 1) << -1;
        QTest::newRow("a chunk that looks like a command is data") << 2 << 3;
    }

    void pageProgramming()
    {
        QFETCH(int, page);
        QFETCH(int, commandChunk);

        Bootloader controller;
        controller.setPageProgramMicros(4000);
        const std::vector<std::uint8_t> before(controller.flash(),
                                               controller.flash() + FIRMWARE_IMAGE_SIZE);

        controller.receiveOutputReport(pageCommand(CMD_SET_PAGE, page).data());
        QCOMPARE(controller.selectedPage(), page);
        QCOMPARE(controller.busyMicrosAfterLastReport(), 0u);
        const QByteArray setPageReply = takeReply(controller);
        QVERIFY2(setPageReply.startsWith("A5 E3 5A 1C"), setPageReply);

        auto bytes = pageBytes(page);
        const Data info = command(CMD_GET_INFO);
        if (commandChunk >= 0)
            std::copy(info.begin(), info.end(), bytes.begin() + commandChunk * FIRMWARE_CHUNK_SIZE);
        for (std::size_t chunk = 0; chunk < FIRMWARE_CHUNKS_PER_PAGE; ++chunk) {
            controller.receiveOutputReport(bytes.data() + chunk * FIRMWARE_CHUNK_SIZE);
            QVERIFY2(!controller.hasInputReport(), "a data chunk was answered");
        }
        // Nothing reaches flash before the page is written, and only the page program keeps the
        // device busy.
        QVERIFY(std::equal(before.begin(), before.end(), controller.flash()));
        QCOMPARE(controller.programmedPageCount(), 0);
        QCOMPARE(controller.busyMicrosAfterLastReport(), 0u);

        controller.receiveOutputReport(command(CMD_WRITE_PAGE).data());
        QCOMPARE(controller.busyMicrosAfterLastReport(), 4000u);
        QCOMPARE(controller.queuedInputReportCount(), 1);
        QVERIFY(takeReply(controller).startsWith("A5 E4 5A 1B"));
        QCOMPARE(controller.programmedPageCount(), 1);
        QCOMPARE(controller.programmedPages(), std::vector<int>{page});

        const std::size_t start = firmwarePageAddress(page);
        const std::size_t end = start + FIRMWARE_PAGE_SIZE;
        QCOMPARE(hexBytes(controller.flash() + start, FIRMWARE_PAGE_SIZE),
                 hexBytes(bytes.data(), FIRMWARE_PAGE_SIZE));
        QVERIFY(std::equal(before.begin(), before.begin() + start, controller.flash()));
        QVERIFY(std::equal(before.begin() + end, before.end(), controller.flash() + end));

        // The ninth report after SET_PAGE is a command again.
        controller.receiveOutputReport(info.data());
        QVERIFY(takeReply(controller).startsWith("A5 E1 5A 1E"));
        controller.receiveOutputReport(command(CMD_PING).data());
        QCOMPARE(controller.busyMicrosAfterLastReport(), 0u);
    }

    void checksumReplyIsByteSumLittleEndian()
    {
        Bootloader controller;
        // 512 × 0xFF = 0x0001FE00: needs three bytes, and shows their order.
        std::array<std::uint8_t, FIRMWARE_PAGE_SIZE> ones;
        ones.fill(0xFF);
        programPage(controller, 7, ones);
        controller.receiveOutputReport(pageCommand(CMD_PAGE_CHECKSUM, 7).data());
        QCOMPARE(takeReply(controller), "A5 E5 5A 1A 00 FE 01 00" + QByteArray(" 00").repeated(56));
    }

    void wrongChecksumFault()
    {
        Bootloader controller;
        controller.setWrongChecksumPage(17);
        programPage(controller, 17);
        programPage(controller, 18);
        QCOMPARE(checksumReply(controller, 17), controller.pageSum(17) + 1);
        QCOMPARE(checksumReply(controller, 18), controller.pageSum(18));
        controller.setWrongChecksumPage(-1);
        QCOMPARE(checksumReply(controller, 17), controller.pageSum(17));
    }

    void versionModel_data()
    {
        QTest::addColumn<int>("written"); // the version a complete write leaves, -1 for the default
        QTest::addColumn<QVector<int>>("pages");
        QTest::addColumn<int>("version");

        QVector<int> ascending;
        for (int page = 0; page < static_cast<int>(FIRMWARE_PAGE_COUNT); ++page)
            ascending << page;
        // All pages but the closing one in order, then the closing one.
        const std::vector<int>& order = FlashingOrder::verifiedOrder();
        const QVector<int> all(order.begin(), order.end());
        QVector<int> missingOne = all;
        missingOne.removeOne(42);
        const int embedded = int(EMBEDDED_FIRMWARE_VERSION);

        QTest::newRow("closing page alone") << -1 << QVector<int>{16} << 0xFFFF;
        QTest::newRow("opening 16, all, 16 last") << -1 << (QVector<int>{16} + all) << embedded;
        QTest::newRow("all pages in ascending order") << -1 << ascending << 0xFFFF;
        QTest::newRow("one page missing, 16 last") << -1 << missingOne << 0xFFFF;
        QTest::newRow("a page after the closing one") << -1 << (all + QVector<int>{5}) << 0xFFFF;
        // A valid release written over needs every page again, not just the closing one.
        QTest::newRow("2.00, all pages") << 0x0200 << all << 0x0200;
        QTest::newRow("2.00, then page 30") << 0x0200 << (all + QVector<int>{30}) << 0xFFFF;
        QTest::newRow("2.00, then 30 and 16") << 0x0200 << (all + QVector<int>{30, 16}) << 0xFFFF;
        QTest::newRow("2.00, then 30, 16 and all again")
            << 0x0200 << (all + QVector<int>{30, 16} + all) << 0x0200;
    }

    void versionModel()
    {
        QFETCH(int, written);
        QFETCH(QVector<int>, pages);
        QFETCH(int, version);

        Bootloader controller;
        if (written >= 0)
            controller.setWrittenVersion(static_cast<std::uint16_t>(written));
        for (int page : pages)
            programPage(controller, page);
        QCOMPARE(int(controller.reportedVersion()), version);
        QCOMPARE(controller.programmedPageCount(), pages.size());

        // An installed version set afterwards is what the controller reports.
        controller.setInstalledVersion(0xFFFF);
        QCOMPARE(controller.reportedVersion(), std::uint16_t(0xFFFF));
        controller.setInstalledVersion(0x0101);
        QCOMPARE(controller.reportedVersion(), std::uint16_t(0x0101));
    }

    void latencyOfAReplyAfterAPageWrite_data()
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

    void latencyOfAReplyAfterAPageWrite()
    {
        QFETCH(std::uint32_t, reportMicros);
        QFETCH(std::uint32_t, pageProgramMicros);
        QFETCH(bool, deviceLeft);
        QFETCH(std::uint32_t, leastMicros);

        LatencyModel latency;
        latency.setReportMicros(reportMicros);
        Bootloader controller;
        controller.setPageProgramMicros(pageProgramMicros);
        sendPage(latency, controller);
        QCOMPARE(controller.programmedPageCount(), 1);
        if (deviceLeft)
            latency.forgetBusyDevice();

        std::uint64_t before = latency.modelledDelayNanos();
        Data reply;
        QVERIFY(latency.transferFrom(controller, reply.data()));
        const std::uint64_t waited = latency.modelledDelayNanos() - before;
        if (leastMicros == 0)
            QCOMPARE(waited, std::uint64_t(0));
        else
            QVERIFY2(waited >= std::uint64_t(leastMicros) * 1000,
                     qPrintable(QString::number(waited)));

        // With nothing queued a read fails at once, whatever a report costs.
        before = latency.modelledDelayNanos();
        QVERIFY(!latency.transferFrom(controller, reply.data()));
        QCOMPARE(latency.modelledDelayNanos(), before);
    }
};

QTEST_GUILESS_MAIN(TestVirtualController)
#include "TestVirtualController.moc"
