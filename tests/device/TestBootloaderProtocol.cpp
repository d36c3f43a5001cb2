#include <QtTest>

#include <array>

#include "BootloaderProtocol.h"
#include "HidAccess.h"
#include "TestSupport.h"

using Report = std::array<std::uint8_t, kReportSize>;

// The report layout against bytes written out by hand, not against the controller model, which
// shares the layout's header and would move with it.
class TestBootloaderProtocol : public QObject {
    Q_OBJECT

private slots:
    void commandHeader_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("info") << int(CMD_GET_INFO) << QByteArray("00 A5 E1 5A 1E");
        QTest::newRow("ping") << int(CMD_PING) << QByteArray("00 A5 E2 5A 1D");
        QTest::newRow("set page") << int(CMD_SET_PAGE) << QByteArray("00 A5 E3 5A 1C");
        QTest::newRow("write page") << int(CMD_WRITE_PAGE) << QByteArray("00 A5 E4 5A 1B");
        QTest::newRow("page checksum") << int(CMD_PAGE_CHECKSUM) << QByteArray("00 A5 E5 5A 1A");
    }

    void commandHeader()
    {
        QFETCH(int, command);
        QFETCH(QByteArray, bytes);
        Report report;
        report.fill(0x77);
        writeCommandHeader(report.data(), static_cast<BootloaderCommand>(command));
        QCOMPARE(hexBytes(report.data(), 5), bytes);
        // The rest of the buffer is left as it was.
        QCOMPARE(hexBytes(report.data() + 5, 3), QByteArray("77 77 77"));
    }

    void pageArguments()
    {
        Report report;
        report.fill(0x77);
        writePageArguments(report.data(), 0x12345678, 0x3C);
        QCOMPARE(hexBytes(report.data() + 4, 7), QByteArray("77 78 56 34 12 3C 77"));
    }

    void checksumReplyTakesAllFourBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<std::uint32_t>("value");
        QTest::newRow("every byte its own") << QByteArray::fromHex("78563412") << 0x12345678u;
        QTest::newRow("byte 8 only") << QByteArray::fromHex("00000001") << 0x01000000u;
        QTest::newRow("byte 7 only") << QByteArray::fromHex("00000100") << 0x00010000u;
        QTest::newRow("a table entry with a high byte set")
            << QByteArray::fromHex("BBAC0100") << 0x1ACBBu;
        QTest::newRow("all ones") << QByteArray::fromHex("FFFFFFFF") << 0xFFFFFFFFu;
    }

    void checksumReplyTakesAllFourBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(std::uint32_t, value);
        Report reply;
        reply.fill(0xEE);
        std::copy(bytes.begin(), bytes.end(), reply.begin() + 5);
        QCOMPARE(checksumReplyValue(reply.data()), value);
    }
};

QTEST_MAIN(TestBootloaderProtocol)
#include "TestBootloaderProtocol.moc"
