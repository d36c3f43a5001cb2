#include "FaultRig.h"
#include "FlashingOrder.h"
#include "RunAnalysis.h"

#include <QtTest>

#include <vector>

// A reply that does not fill a whole report is no reply: the read fails, the input buffer keeps
// exactly what the last whole reply left in it, and nothing is parsed from it. In discovery the
// stored version stays in force; in a run the read ends the run like any failed read.

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes pattern(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(0x40 + i * 7);
    return bytes;
}

Bytes inReportOf(const Widget& window)
{
    return Bytes(window.inReport(), window.inReport() + kReportSize);
}

// The 65 bytes of the last read that delivered a whole report.
Bytes lastWholeReply(const VirtualHidAccess& bus)
{
    const auto& trace = bus.trace();
    for (auto transfer = trace.rbegin(); transfer != trace.rend(); ++transfer) {
        if (transfer->kind == VirtualHidAccess::Transfer::Read && transfer->ok)
            return transfer->bytes;
    }
    return {};
}

void addLengths(const char* name, int arg)
{
    for (int length : {0, 1, 8, 63, 65, 128})
        QTest::addRow("%s, %d bytes", name, length)
            << arg << pattern(static_cast<std::size_t>(length));
}

} // namespace

class TestShortReplies : public QObject {
    Q_OBJECT

private slots:
    void shortInfoReplyLeavesTheStoredVersion_data();
    void shortInfoReplyLeavesTheStoredVersion();
    void shortReplyInARunIsAFailedRead_data();
    void shortReplyInARunIsAFailedRead();

private:
    // One window for every case, as the program keeps one for many updates.
    FaultRig m_rig{10};
};

void TestShortReplies::shortInfoReplyLeavesTheStoredVersion_data()
{
    QTest::addColumn<int>("storedVersion");
    QTest::addColumn<Bytes>("reply");
    addLengths("older version stored", 0x0116);
    addLengths("current version stored", int(EMBEDDED_FIRMWARE_VERSION));
}

void TestShortReplies::shortInfoReplyLeavesTheStoredVersion()
{
    QFETCH(int, storedVersion);
    QFETCH(Bytes, reply);
    FaultRig& rig = m_rig;
    // The input buffer and the controller both say the opposite of the stored version: parsing the
    // buffer, or taking a short reply as a whole one, would change the decision.
    const std::uint16_t opposite = storedVersion == 0x0116 ? EMBEDDED_FIRMWARE_VERSION : 0x0116;
    rig.startClean(opposite);
    QCOMPARE(g_device_version, std::uint32_t(opposite));
    g_device_version = static_cast<std::uint32_t>(storedVersion);
    const Bytes before = inReportOf(rig.window());
    rig.bus.clearTrace();
    rig.bus.garbageReply(1, reply);

    QVERIFY(rig.pass());

    QCOMPARE(rig.bus.readCount(), 1);
    QCOMPARE(inReportOf(rig.window()), before);
    QCOMPARE(g_device_version, std::uint32_t(storedVersion));
    QCOMPARE(rig.shownState(),
             storedVersion == 0x0116 ? WindowState::UpdateOffered : WindowState::UpToDate);
}

void TestShortReplies::shortReplyInARunIsAFailedRead_data()
{
    QTest::addColumn<int>("read");
    QTest::addColumn<Bytes>("reply");
    using Role = FlashingOrder::Role;
    addLengths("info", FlashingOrder::readOf(Role::Info).number);
    addLengths("opening SET_PAGE", FlashingOrder::readOf(Role::SetPage, 16, true).number);
    addLengths("SET_PAGE page 5", FlashingOrder::readOf(Role::SetPage, 5).number);
    addLengths("WRITE_PAGE page 5", FlashingOrder::readOf(Role::WritePage, 5).number);
    addLengths("CHECKSUM page 5", FlashingOrder::readOf(Role::Checksum, 5).number);
    addLengths("CHECKSUM closing page 16", FlashingOrder::readOf(Role::Checksum, 16).number);
}

void TestShortReplies::shortReplyInARunIsAFailedRead()
{
    QFETCH(int, read);
    QFETCH(Bytes, reply);
    FaultRig& rig = m_rig;
    rig.startClean(0x0116);
    rig.bus.garbageReply(read, reply);

    rig.clickUpdateAndFlash();

    // The buffer holds the last whole reply, untouched by the short one.
    QCOMPARE(inReportOf(rig.window()), lastWholeReply(rig.bus));
    const RunAnalysis run(rig.bus.trace());
    const bool infoRead = read == FlashingOrder::readOf(FlashingOrder::Role::Info).number;
    QCOMPARE(rig.bus.readCount(), infoRead ? FlashingOrder::readCount() : read);
    if (infoRead) {
        // The version stored by discovery decided, and the run went through.
        QVERIFY(run.everyPageVerifiedInOrder());
        QVERIFY(rig.window().updateFinished());
    } else {
        QCOMPARE(run.transferCount(), run.failedTransfers().back());
        QCOMPARE(rig.shownState(), WindowState::Flashing);
    }
}

QTEST_MAIN(TestShortReplies)
#include "TestShortReplies.moc"
