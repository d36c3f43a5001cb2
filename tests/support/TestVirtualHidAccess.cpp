#include <QElapsedTimer>
#include <QtTest>

#include <array>
#include <cstring>

#include "TestSupport.h"
#include "VirtualHidAccess.h"

namespace {

using Report = std::array<std::uint8_t, kReportSize>;
using Kind = VirtualHidAccess::Transfer::Kind;

Report commandReport(std::uint8_t code)
{
    Report report{};
    writeCommandHeader(report.data(), static_cast<BootloaderCommand>(code));
    return report;
}

// Long enough to tell a read that fails at once from one that waits, on a busy machine.
constexpr std::uint32_t g_rigReadTimeoutMs = 150;

// Bus positions 0 foreign, 1 unopenable, 2 the controller `pad`, 3 foreign.
struct MixedBus : VirtualHidAccess {
    VirtualController* pad;
    MixedBus()
    {
        addForeignInterface(0x046D, 0xC52B);
        addUnopenableInterface(0x0079, 0x1836);
        pad = &addController();
        addForeignInterface(0x1532, 0x0084);
    }
};

// A controller alone on the bus and open, the trace starting after the open.
struct ControllerBus {
    VirtualHidAccess bus;
    VirtualController& controller = bus.addController();
    HidHandle handle = nullptr;
    explicit ControllerBus(VirtualController::Mode mode = VirtualController::Mode::Bootloader)
    {
        controller.setMode(mode);
        handle = bus.openInterface(bus.getHidGuid(), 0);
        bus.clearTrace();
    }
    bool write(const Report& report)
    {
        std::uint32_t written = 0;
        return bus.writeReport(handle, report.data(), &written);
    }
    bool read(Report* report)
    {
        std::uint32_t read = 0;
        return bus.readReport(handle, report->data(), &read, kReportReadTimeoutMs);
    }
};

std::uint32_t idWord(HidAccess& bus, HidHandle handle)
{
    HidAttributes attributes;
    if (!bus.getAttributes(handle, &attributes))
        return 0;
    return hidIdWord(attributes.vendorId, attributes.productId);
}

// Arms one of the bus's faults at a number. A garbage reply takes bytes too, from a column of its
// own: its rows name it by null.
using Bus = VirtualHidAccess;
using ArmFault = void (Bus::*)(int);
constexpr ArmFault g_garbageReply = nullptr;

} // namespace

Q_DECLARE_METATYPE(ArmFault)

class TestVirtualHidAccess : public QObject {
    Q_OBJECT

private slots:
    void enumeratesInIndexOrder()
    {
        MixedBus bus;
        const HidGuid guid = bus.getHidGuid();
        QCOMPARE(guid.data1, 0x4D1E55B2u);
        QCOMPARE(guid.data2, std::uint16_t(0xF16F));
        QCOMPARE(guid.data3, std::uint16_t(0x11CF));
        QCOMPARE(hexBytes(guid.data4, 8), QByteArray("88 CB 00 11 11 00 00 30"));

        const HidHandle first = bus.openInterface(guid, 0);
        QCOMPARE(idWord(bus, first), hidIdWord(0x046D, 0xC52B));

        const HidHandle unopenable = bus.openInterface(guid, 1);
        QCOMPARE(unopenable, INVALID_HID_HANDLE);
        HidAttributes attributes;
        QVERIFY(!bus.getAttributes(unopenable, &attributes));

        const HidHandle controller = bus.openInterface(guid, 2);
        QCOMPARE(idWord(bus, controller), NORMAL_MODE_ID_WORD);
        const HidHandle last = bus.openInterface(guid, 3);
        QCOMPARE(idWord(bus, last), hidIdWord(0x1532, 0x0084));

        QCOMPARE(bus.openHandleCount(), 3);
        QCOMPARE(bus.foreignOpenCount(), 3);

        bus.closeHandle(unopenable);
        for (HidHandle handle : {first, controller, last})
            bus.closeHandle(handle);
        QCOMPARE(bus.openHandleCount(), 0);
    }

    void handlesAreUniqueAndDieWhenClosed()
    {
        MixedBus bus;
        const HidGuid guid = bus.getHidGuid();
        const HidHandle a = bus.openInterface(guid, 2);
        const HidHandle b = bus.openInterface(guid, 2);
        const HidHandle c = bus.openInterface(guid, 0);
        QVERIFY(a != b && a != c && b != c);
        QCOMPARE(bus.openHandleCount(), 3);

        bus.closeHandle(a);
        QCOMPARE(bus.openHandleCount(), 2);
        QCOMPARE(idWord(bus, a), 0u);
        QCOMPARE(idWord(bus, b), NORMAL_MODE_ID_WORD);
        std::uint8_t buffer[32];
        QVERIFY(!bus.getIndexedString(a, 2, buffer, sizeof(buffer)));
        QVERIFY(bus.getIndexedString(b, 2, buffer, sizeof(buffer)));

        // A handle the bus never gave out, and one closed twice, are refused without harm.
        QCOMPARE(idWord(bus, reinterpret_cast<HidHandle>(0x1234)), 0u);
        bus.closeHandle(a);
        bus.closeHandle(INVALID_HID_HANDLE);
        QCOMPARE(bus.openHandleCount(), 2);

        // A new open never reuses a closed handle.
        const HidHandle d = bus.openInterface(guid, 2);
        QVERIFY(d != a);
    }

    void restartDropsOffAndReturnsAsBootloader()
    {
        MixedBus bus;
        HidGuid guid = bus.getHidGuid();
        const HidHandle controller = bus.openInterface(guid, 2);
        std::uint8_t buffer[kReportSize] = {};
        for (std::uint32_t length : SWITCH_STRING_LENGTHS)
            QVERIFY(bus.getIndexedString(controller, SWITCH_STRING_INDEX, buffer, length));

        // Gone at once, its handle dead; back in its bootloader when the next pass begins.
        QCOMPARE(idWord(bus, controller), 0u);
        QCOMPARE(bus.pad->mode(), VirtualController::Mode::Normal);
        guid = bus.getHidGuid();
        QVERIFY(!bus.pad->restartRequested());
        const HidHandle bootloader = bus.openInterface(guid, 2);
        QCOMPARE(idWord(bus, bootloader), BOOTLOADER_MODE_ID_WORD);
        QCOMPARE(idWord(bus, controller), 0u);
        QCOMPARE(bus.pad->restartCount(), 1);

        // A later pass changes nothing more.
        bus.getHidGuid();
        QCOMPARE(bus.pad->restartCount(), 1);
        QCOMPARE(idWord(bus, bootloader), BOOTLOADER_MODE_ID_WORD);
    }

    void stringRequestReachesController()
    {
        ControllerBus rig(VirtualController::Mode::Normal);
        VirtualHidAccess& bus = rig.bus;
        std::uint8_t buffer[kReportSize];
        std::memset(buffer, 0xEE, sizeof(buffer));
        QVERIFY(bus.getIndexedString(rig.handle, SWITCH_STRING_INDEX, buffer, 14));

        // The text of the 14-byte descriptor without its header; the rest of the buffer is left.
        QCOMPARE(hexBytes(buffer, 14), QByteArray("51 00 52 00 35 00 20 00 73 00 65 00 EE EE"));
        const VirtualHidAccess::Transfer& request = bus.trace().back();
        QVERIFY(request.ok);
        QCOMPARE(hexBytes(request.bytes.data(), int(request.bytes.size())),
                 QByteArray("51 00 52 00 35 00 20 00 73 00 65 00"));
    }

    void foreignInterfacesGetNothing()
    {
        VirtualHidAccess bus;
        bus.addForeignInterface(0x046D, 0xC52B);
        bus.setReadTimeoutMs(10);
        const HidHandle handle = bus.openInterface(bus.getHidGuid(), 0);
        std::uint8_t buffer[kReportSize] = {};
        std::uint32_t count = 0;
        QVERIFY(!bus.getIndexedString(handle, SWITCH_STRING_INDEX, buffer, 14));
        const Report info = commandReport(CMD_GET_INFO);
        QVERIFY(!bus.writeReport(handle, info.data(), &count));
        Report reply;
        reply.fill(0xCC);
        QVERIFY(!bus.readReport(handle, reply.data(), &count, kReportReadTimeoutMs));
        QCOMPARE(reply[0], std::uint8_t(0xCC));
        QCOMPARE(bus.foreignWriteCount(), 3);
        QCOMPARE(bus.foreignOpenCount(), 1);
    }

    void normalModeRefusesReports()
    {
        ControllerBus rig(VirtualController::Mode::Normal);
        QVERIFY(!rig.write(commandReport(CMD_GET_INFO)));
        QCOMPARE(rig.controller.receivedReportCount(), 0);
        QCOMPARE(rig.bus.foreignWriteCount(), 0);
    }

    // Three info exchanges, W R W R W R: transfers 1 to 6, writes and reads 1 to 3 each.
    void faultsAtTransferNumber_data()
    {
        QTest::addColumn<ArmFault>("arm");
        QTest::addColumn<int>("number");
        QTest::addColumn<QByteArray>("garbage");
        QTest::addColumn<QString>("outcome"); // + succeeded, - failed, per transfer
        QTest::addColumn<int>("garbageRead"); // the read whose buffer holds the garbage, 0 for none
        QTest::addColumn<int>("waitingRead"); // the read that waits out the timeout, 0 for none
        QTest::addColumn<int>("queuedAtEnd");
        QTest::addColumn<bool>("plugged");

        QByteArray garbage(kReportDataSize, '\0');
        for (int i = 0; i < garbage.size(); ++i)
            garbage[i] = char(0xF0 ^ i);
        QTest::newRow("second write fails")
            << &Bus::failWrite << 2 << QByteArray() << "++--++" << 0 << 2 << 0 << true;
        // The reply stays queued, so each later read gets the reply to the write before.
        QTest::newRow("second read fails")
            << &Bus::failRead << 2 << QByteArray() << "+++-++" << 0 << 0 << 1 << true;
        QTest::newRow("first read never answered")
            << &Bus::neverAnswerRead << 1 << QByteArray() << "+-++++" << 0 << 1 << 0 << true;
        QTest::newRow("unplugged at transfer 3")
            << &Bus::unplugAtTransfer << 3 << QByteArray() << "++----" << 0 << 0 << 0 << false;
        QTest::newRow("unplugged at transfer 4")
            << &Bus::unplugAtTransfer << 4 << QByteArray() << "+++---" << 0 << 0 << 0 << false;
        QTest::newRow("garbage of 64 bytes")
            << g_garbageReply << 2 << garbage << "++++++" << 2 << 0 << 0 << true;
        QTest::newRow("garbage too short")
            << g_garbageReply << 2 << garbage.left(10) << "+++-++" << 0 << 0 << 0 << true;
        QTest::newRow("garbage too long")
            << g_garbageReply << 1 << (garbage + "x") << "+-++++" << 0 << 0 << 0 << true;
    }

    void faultsAtTransferNumber()
    {
        QFETCH(ArmFault, arm);
        QFETCH(int, number);
        QFETCH(QByteArray, garbage);
        QFETCH(QString, outcome);
        QFETCH(int, garbageRead);
        QFETCH(int, waitingRead);
        QFETCH(int, queuedAtEnd);
        QFETCH(bool, plugged);

        ControllerBus rig;
        rig.bus.setReadTimeoutMs(g_rigReadTimeoutMs);
        if (arm)
            (rig.bus.*arm)(number);
        else
            rig.bus.garbageReply(number, std::vector<std::uint8_t>(garbage.begin(), garbage.end()));

        QString seen;
        for (int exchange = 1; exchange <= 3; ++exchange) {
            seen += rig.write(commandReport(CMD_GET_INFO)) ? '+' : '-';

            Report reply;
            reply.fill(0xCC);
            QElapsedTimer timer;
            timer.start();
            const std::uint64_t waitedBefore = rig.bus.modelledDelayNanos();
            const bool ok = rig.read(&reply);
            seen += ok ? '+' : '-';
            if (!ok) {
                QCOMPARE(hexBytes(reply.data(), kReportSize),
                         QByteArray("CC").append(QByteArray(" CC").repeated(64)));
                // Only a read that waits for an answer takes the read timeout. The bus's own
                // account of its waits says whether it waited; a wall clock would also count a busy
                // machine.
                const qint64 elapsed = timer.elapsed();
                const std::uint64_t waited = rig.bus.modelledDelayNanos() - waitedBefore;
                if (exchange == waitingRead)
                    QVERIFY2(elapsed >= qint64(g_rigReadTimeoutMs),
                             qPrintable(QString::number(elapsed)));
                else
                    QCOMPARE(waited, std::uint64_t(0));
            } else if (exchange == garbageRead) {
                QCOMPARE(hexBytes(reply.data() + 1, kReportDataSize),
                         hexBytes(reinterpret_cast<const std::uint8_t*>(garbage.constData()),
                                  kReportDataSize));
                QCOMPARE(reply[0], std::uint8_t(0));
            } else {
                QCOMPARE(hexBytes(reply.data(), 9), QByteArray("00 A5 E1 5A 1E 00 6D 01 16"));
            }
        }
        QCOMPARE(seen, outcome);
        QCOMPARE(rig.controller.queuedInputReportCount(), queuedAtEnd);
        QCOMPARE(rig.bus.isPlugged(rig.controller), plugged);
        QCOMPARE(rig.bus.writeCount(), 3);
        QCOMPARE(rig.bus.readCount(), 3);
        QCOMPARE(int(rig.bus.trace().size()), 6);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(rig.bus.trace()[i].ok, outcome[i] == '+');
        // A failed write reaches nothing.
        int writesDone = 0;
        for (int i = 0; i < 6; i += 2)
            writesDone += outcome[i] == '+' ? 1 : 0;
        QCOMPARE(rig.controller.receivedReportCount(), writesDone);
        QCOMPARE(int(rig.bus.writtenReports().size()), writesDone);
    }

    void failStringRequestDoesNotReachDevice()
    {
        ControllerBus rig(VirtualController::Mode::Normal);
        VirtualHidAccess& bus = rig.bus;
        const HidHandle handle = rig.handle;
        bus.failStringRequest(2);
        std::uint8_t buffer[kReportSize];
        std::memset(buffer, 0xEE, sizeof(buffer));
        QVERIFY(bus.getIndexedString(handle, SWITCH_STRING_INDEX, buffer, 14));
        std::memset(buffer, 0xEE, sizeof(buffer));
        QVERIFY(!bus.getIndexedString(handle, SWITCH_STRING_INDEX, buffer, 15));
        QCOMPARE(buffer[0], std::uint8_t(0xEE));
        // Had the failed request reached the device, 15 would now break the sequence.
        for (std::uint32_t length : {15u, 16u, 17u, 18u})
            QVERIFY(bus.getIndexedString(handle, SWITCH_STRING_INDEX, buffer, length));
        QVERIFY(rig.controller.restartRequested());
        QCOMPARE(bus.stringRequestCount(), 6);
        QVERIFY(!bus.trace()[1].ok);
    }

    void faultNumberingRestartsWithTrace()
    {
        ControllerBus rig;
        rig.bus.failWrite(2);
        QVERIFY(rig.write(commandReport(CMD_PING)));
        rig.bus.clearTrace();
        QVERIFY(rig.write(commandReport(CMD_PING)));
        QVERIFY(!rig.write(commandReport(CMD_PING)));
        QVERIFY(rig.write(commandReport(CMD_PING)));

        rig.bus.failWrite(4);
        rig.bus.clearFaults();
        QVERIFY(rig.write(commandReport(CMD_PING)));
    }

    void readTimeoutIsBounded()
    {
        ControllerBus rig;
        Report reply;

        // The default is the contract's bound: a second, not forever. The upper limits leave room
        // for a saturated machine to wake the thread late; they only tell a bound from no bound,
        // and the set limit from the default.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!rig.read(&reply));
        QVERIFY2(timer.elapsed() >= qint64(kReportReadTimeoutMs)
                     && timer.elapsed() < 5 * qint64(kReportReadTimeoutMs),
                 qPrintable(QString::number(timer.elapsed())));

        rig.bus.setReadTimeoutMs(40);
        timer.restart();
        QVERIFY(!rig.read(&reply));
        QVERIFY2(timer.elapsed() >= 40 && timer.elapsed() < qint64(kReportReadTimeoutMs),
                 qPrintable(QString::number(timer.elapsed())));
    }

    void latencyIsModelledAndMeasured()
    {
        ControllerBus rig;
        rig.bus.setLatency(2000, 15000);
        QElapsedTimer timer;
        timer.start();
        Report report = commandReport(CMD_SET_PAGE);
        writePageArguments(report.data(), 0, 0);
        QVERIFY(rig.write(report));
        QVERIFY(rig.read(&report));
        for (int chunk = 0; chunk < 8; ++chunk)
            QVERIFY(rig.write(report));
        writeCommandHeader(report.data(), CMD_WRITE_PAGE);
        QVERIFY(rig.write(report));
        QVERIFY(rig.read(&report));
        const qint64 elapsedNanos = timer.nsecsElapsed();

        // 12 transfers of 2 ms and one page program of 15 ms before the last reply. The program
        // runs while the page is programmed, so that much of the wait may fall outside the measured
        // delay.
        QVERIFY2(elapsedNanos >= 39000000, qPrintable(QString::number(elapsedNanos)));
        const std::uint64_t modelled = rig.bus.modelledDelayNanos();
        QVERIFY2(modelled >= 38000000ull, qPrintable(QString::number(modelled)));
        QVERIFY2(modelled <= std::uint64_t(elapsedNanos), qPrintable(QString::number(modelled)));
    }

    void sleepsAndKeys()
    {
        VirtualHidAccess bus;
        QElapsedTimer timer;
        timer.start();
        bus.sleepMs(30);
        QVERIFY(timer.elapsed() >= 30);
        bus.setRealSleeps(false);
        timer.restart();
        bus.sleepMs(5000);
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(bus.sleptMs(), std::uint64_t(5030));

        QVERIFY(!bus.isKeyHeld(HidKey::LeftShift));
        bus.setKeyHeld(HidKey::RightShift, true);
        QVERIFY(!bus.isKeyHeld(HidKey::LeftShift));
        QVERIFY(bus.isKeyHeld(HidKey::RightShift));
        bus.setKeyHeld(HidKey::RightShift, false);
        QVERIFY(!bus.isKeyHeld(HidKey::RightShift));
    }

    void traceIsExact()
    {
        VirtualHidAccess bus;
        bus.addForeignInterface(0x046D, 0xC52B);
        bus.addController().setMode(VirtualController::Mode::Bootloader);
        const HidGuid guid = bus.getHidGuid();
        const HidHandle handle = bus.openInterface(guid, 1);
        const Report info = commandReport(CMD_GET_INFO);
        std::uint32_t count = 0;
        QVERIFY(bus.writeReport(handle, info.data(), &count));
        QCOMPARE(count, std::uint32_t(kReportSize));
        Report reply;
        QVERIFY(bus.readReport(handle, reply.data(), &count, kReportReadTimeoutMs));
        bus.closeHandle(handle);
        QCOMPARE(bus.openInterface(guid, 2), HidHandle(nullptr));

        // The reports' bytes in it are what the window suites compare; here, the entries around
        // them.
        const auto& trace = bus.trace();
        QCOMPARE(int(trace.size()), 5);
        QCOMPARE(trace[0].kind, Kind::Open);
        QVERIFY(trace[0].ok);
        QCOMPARE(trace[0].index, 1);
        QCOMPARE(trace[1].kind, Kind::Write);
        QCOMPARE(trace[1].index, 1);
        QCOMPARE(trace[2].kind, Kind::Read);
        QCOMPARE(trace[3].kind, Kind::Close);
        QVERIFY(trace[3].ok);
        QCOMPARE(trace[4].kind, Kind::Open);
        QVERIFY(!trace[4].ok);
        QCOMPARE(trace[4].index, 2);
    }

    void unplugAndReplugKeepPosition()
    {
        MixedBus bus;
        bus.pad->setMode(VirtualController::Mode::Bootloader);
        HidGuid guid = bus.getHidGuid();
        const HidHandle handle = bus.openInterface(guid, 2);
        std::uint32_t count = 0;
        const Report info = commandReport(CMD_GET_INFO);
        QVERIFY(bus.writeReport(handle, info.data(), &count));

        bus.setPlugged(*bus.pad, false);
        QCOMPARE(idWord(bus, handle), 0u);
        QCOMPARE(idWord(bus, bus.openInterface(guid, 2)), hidIdWord(0x1532, 0x0084));
        QCOMPARE(bus.openInterface(guid, 3), HidHandle(nullptr));

        bus.setPlugged(*bus.pad, true);
        guid = bus.getHidGuid();
        const HidHandle again = bus.openInterface(guid, 2);
        QCOMPARE(idWord(bus, again), BOOTLOADER_MODE_ID_WORD);
        // The old handle stays dead, and the reply queued before the unplug is gone.
        QCOMPARE(idWord(bus, handle), 0u);
        QVERIFY(!bus.pad->hasInputReport());
        QCOMPARE(bus.controllerCount(), 1);
        QCOMPARE(&bus.controller(0), bus.pad);
    }

    void demoBus()
    {
        const std::unique_ptr<VirtualHidBus> bus = VirtualHidBus::createDemoBus();
        const HidGuid guid = bus->getHidGuid();
        std::vector<std::uint32_t> ids;
        for (std::uint32_t index = 0;; ++index) {
            const HidHandle handle = bus->openInterface(guid, index);
            if (!handle)
                break;
            ids.push_back(idWord(*bus, handle));
            bus->closeHandle(handle);
        }
        QCOMPARE(int(ids.size()), 3);
        QVERIFY(ids[0] != NORMAL_MODE_ID_WORD && ids[1] != NORMAL_MODE_ID_WORD);
        QCOMPARE(ids[2], NORMAL_MODE_ID_WORD);
        QCOMPARE(bus->controller(0).reportedVersion(), std::uint16_t(0x0116));
        QCOMPARE(bus->controller(0).pageProgramMicros(), 4000u);
        QVERIFY(!bus->reachesHardware());
    }
};

QTEST_GUILESS_MAIN(TestVirtualHidAccess)
#include "TestVirtualHidAccess.moc"
