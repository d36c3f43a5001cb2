#include "BusRig.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

// The window used from the keyboard alone: the order of Tab, the keys that press, the focus frame.
class TestKeyboard : public QObject {
    Q_OBJECT

private slots:
    void tabOrder_data();
    void tabOrder();
    void pressingKeys_data();
    void pressingKeys();
    void frameOnlyAfterAKeyAndFittedToTheButton_data();
    void frameOnlyAfterAKeyAndFittedToTheButton();

private:
    // Opens the window on a bus that holds a bootloader of this version (0: none), runs one pass
    // and shows it active.
    Widget& openShown(BusRig<>& rig, int installedVersion);
    static QString focusName()
    {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    }
    // Where the focus goes at each of `count` presses of `key`.
    static QStringList focusPath(Qt::Key key, int count)
    {
        QStringList names;
        for (int i = 0; i < count; ++i) {
            QTest::keyClick(QApplication::focusWidget(), key);
            names << focusName();
        }
        return names;
    }
};

Widget& TestKeyboard::openShown(BusRig<>& rig, int installedVersion)
{
    if (installedVersion > 0)
        rig.addBootloader(static_cast<std::uint16_t>(installedVersion));
    Widget& window = rig.window();
    rig.pass();
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        qFatal("the window did not become active");
    return window;
}

void TestKeyboard::tabOrder_data()
{
    QTest::addColumn<int>("installedVersion");
    QTest::addColumn<QStringList>("tabs");
    QTest::newRow("update offered")
        << 0x116 << QStringList{"UpdateBtn", "ButtonMin", "ButtonClose", "UpdateBtn"};
    QTest::newRow("up to date") << int(EMBEDDED_FIRMWARE_VERSION)
                                << QStringList{"Finish", "ButtonMin", "ButtonClose", "Finish"};
    QTest::newRow("no controller") << 0 << QStringList{"ButtonMin", "ButtonClose", "ButtonMin"};
}

void TestKeyboard::tabOrder()
{
    QFETCH(int, installedVersion);
    QFETCH(QStringList, tabs);
    BusRig rig;
    Widget& window = openShown(rig, installedVersion);
    // Nothing but the window has focus until a key moves it.
    QCOMPARE(QApplication::focusWidget(), &window);

    QCOMPARE(focusPath(Qt::Key_Tab, tabs.size()), tabs);

    // Backwards, the same ring the other way round.
    QStringList back = tabs.mid(0, tabs.size() - 1);
    std::reverse(back.begin(), back.end());
    QCOMPARE(focusPath(Qt::Key_Backtab, back.size()), back);
}

void TestKeyboard::pressingKeys_data()
{
    QTest::addColumn<int>("installedVersion");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("threadsStarted");
    // Key repeats that follow the press while the key is held.
    QTest::addColumn<int>("repeats");
    QTest::newRow("Space on Update") << 0x116 << int(Qt::Key_Space) << 0 << 1 << 0;
    QTest::newRow("Return on Update") << 0x116 << int(Qt::Key_Return) << 0 << 1 << 0;
    QTest::newRow("keypad Enter on Update")
        << 0x116 << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1 << 0;
    QTest::newRow("Shift+Return on Update")
        << 0x116 << int(Qt::Key_Return) << int(Qt::ShiftModifier) << 1 << 0;
    QTest::newRow("Ctrl+Return on Update")
        << 0x116 << int(Qt::Key_Return) << int(Qt::ControlModifier) << 0 << 0;
    QTest::newRow("Space on the finish indicator")
        << int(EMBEDDED_FIRMWARE_VERSION) << int(Qt::Key_Space) << 0 << 0 << 0;
    QTest::newRow("Return on the finish indicator")
        << int(EMBEDDED_FIRMWARE_VERSION) << int(Qt::Key_Return) << 0 << 0 << 0;
    QTest::newRow("Return held on Update") << 0x116 << int(Qt::Key_Return) << 0 << 1 << 3;
}

void TestKeyboard::pressingKeys()
{
    QFETCH(int, installedVersion);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, threadsStarted);
    QFETCH(int, repeats);
    BusRig rig;
    Widget& window = openShown(rig, installedVersion);
    // A key on the window before Tab reaches no button.
    QTest::keyClick(&window, Qt::Key(key));
    QCOMPARE(rig.updateThreadCount(), 0);

    QTest::keyClick(&window, Qt::Key_Tab);
    QWidget* button = QApplication::focusWidget();
    QTest::keyPress(button, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    for (int i = 0; i < repeats; ++i) {
        QKeyEvent repeat(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), QString(), true);
        QApplication::sendEvent(button, &repeat);
    }
    QTest::keyRelease(button, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(rig.updateThreadCount(), threadsStarted);
    rig.deliverUpdateSignals();
    QCOMPARE(window.updateFinished(), threadsStarted == 1);
    // A finished run hands the focus to the finish indicator, where keys start nothing.
    QCOMPARE(focusName(), threadsStarted == 1 ? QStringLiteral("Finish") : button->objectName());
    if (focusName() == QStringLiteral("Finish")) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(rig.updateThreadCount(), threadsStarted);
    }
    QVERIFY(window.isVisible());
}

void TestKeyboard::frameOnlyAfterAKeyAndFittedToTheButton_data()
{
    QTest::addColumn<int>("installedVersion");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("tabs");
    QTest::newRow("Update") << 0x116 << "UpdateBtn" << 1;
    QTest::newRow("finish indicator") << int(EMBEDDED_FIRMWARE_VERSION) << "Finish" << 1;
    QTest::newRow("minimise") << int(EMBEDDED_FIRMWARE_VERSION) << "ButtonMin" << 2;
    QTest::newRow("close") << int(EMBEDDED_FIRMWARE_VERSION) << "ButtonClose" << 3;
}

void TestKeyboard::frameOnlyAfterAKeyAndFittedToTheButton()
{
    QFETCH(int, installedVersion);
    QFETCH(QString, button);
    QFETCH(int, tabs);
    BusRig rig;
    Widget& window = openShown(rig, installedVersion);
    auto* control = window.findChild<QPushButton*>(button);
    QVERIFY(control);
    const QImage untouched = window.grab().toImage();

    // Focus given by the mouse shows nothing.
    control->setFocus(Qt::MouseFocusReason);
    QVERIFY(control->hasFocus());
    QCOMPARE(window.grab().toImage(), untouched);
    window.setFocus(Qt::MouseFocusReason);

    QCOMPARE(focusPath(Qt::Key_Tab, tabs).last(), button);
    const QImage framed = window.grab().toImage();

    // Every changed pixel lies on a ring inside the button, within 4 pixels of its edge, and the
    // ring goes all the way round.
    const QRect outer(control->mapTo(&window, QPoint(0, 0)), control->size());
    const QRect inner = outer.adjusted(4, 4, -4, -4);
    int changed = 0;
    bool top = false, bottom = false, left = false, right = false;
    for (int y = 0; y < untouched.height(); ++y) {
        for (int x = 0; x < untouched.width(); ++x) {
            if (untouched.pixel(x, y) == framed.pixel(x, y))
                continue;
            ++changed;
            QVERIFY2(outer.contains(x, y) && !inner.contains(x, y),
                     qPrintable(QStringLiteral("changed pixel at %1,%2").arg(x).arg(y)));
            top |= y < inner.top();
            bottom |= y > inner.bottom();
            left |= x < inner.left();
            right |= x > inner.right();
        }
    }
    QVERIFY(top && bottom && left && right);
    QVERIFY2(changed >= outer.width() + outer.height(), qPrintable(QString::number(changed)));
}

QTEST_MAIN(TestKeyboard)
#include "TestKeyboard.moc"
