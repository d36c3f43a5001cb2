#include "FaultRig.h"
#include "FirmwareImage.h"
#include "FlashingOrder.h"

#include <QtTest>

// Two presses of Update accepted before the first run begins give two runs, one after the other.
// When the second rewrites a controller that the first has just completed (Shift held, or its
// info read failed so that the older stored version let it through) and then fails, the controller
// is left without a valid firmware: the window must not go on claiming the update finished.
class TestQueuedRuns : public QObject {
    Q_OBJECT

private slots:
    void failedSecondRunDoesNotKeepFinish_data()
    {
        QTest::addColumn<bool>("shiftHeld");
        QTest::addColumn<int>("write");
        QTest::addColumn<int>("neverAnsweredRead");
        // The second run's writes and reads come after the first's.
        using Role = FlashingOrder::Role;
        const int first = FlashingOrder::writeCount();
        const int page8 = first + FlashingOrder::writeOf(Role::Chunk, 8, 0).number;
        QTest::newRow("Shift held, WRITE_PAGE of page 3 fails")
            << true << first + FlashingOrder::writeOf(Role::WritePage, 3).number << 0;
        QTest::newRow("Shift held, a chunk of page 8 fails") << true << page8 << 0;
        QTest::newRow("Shift held, checksum request of page 60 fails")
            << true << first + FlashingOrder::writeOf(Role::Checksum, 60).number << 0;
        QTest::newRow("info read lost, a chunk of page 8 fails")
            << false << page8
            << FlashingOrder::readCount() + FlashingOrder::readOf(Role::Info).number;
    }

    void failedSecondRunDoesNotKeepFinish()
    {
        QFETCH(bool, shiftHeld);
        QFETCH(int, write);
        QFETCH(int, neverAnsweredRead);
        FaultRig& rig = m_rig;
        rig.startClean(0x0116);
        rig.bus.setKeyHeld(HidKey::RightShift, shiftHeld);
        rig.bus.failWrite(write);
        if (neverAnsweredRead > 0)
            rig.bus.neverAnswerRead(neverAnsweredRead);

        rig.updateButton()->click();
        rig.updateButton()->click();
        rig.deliverUpdateSignals();

        // The second run got past its gate and broke off: the controller holds no valid firmware.
        QCOMPARE(rig.bus.writeCount(), write);
        QCOMPARE(rig.controller->reportedVersion(), std::uint16_t(BLANK_VERSION_WORD));
        const FaultRig::View after = rig.view();
        QVERIFY2(!FaultRig::matchingStates(after).isEmpty(), qPrintable(FaultRig::describe(after)));
        QVERIFY(!rig.window().updateFinished());

        // Replugged, the blank controller is offered the update, and it completes.
        rig.bus.setPlugged(*rig.controller, false);
        QVERIFY(!rig.pass());
        rig.bus.setPlugged(*rig.controller, true);
        QVERIFY(rig.pass());
        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
        rig.bus.setKeyHeld(HidKey::RightShift, false);
        rig.clickUpdateAndFlash();
        QVERIFY(rig.window().updateFinished());
        QCOMPARE(rig.controller->reportedVersion(), std::uint16_t(EMBEDDED_FIRMWARE_VERSION));
    }

private:
    // One window for every case, as the program keeps one for many updates.
    FaultRig m_rig{10};
};

QTEST_MAIN(TestQueuedRuns)
#include "TestQueuedRuns.moc"
