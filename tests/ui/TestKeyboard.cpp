#include "BusRig.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

// The window used from the keyboard alone: the order of Tab and its focus frame, the keys that
// press.
class TestKeyboard : public QObject {
    Q_OBJECT

private slots:
    void tabOrder_data()
    {
        QTest::addColumn<int>("installedVersion");
        QTest::addColumn<QStringList>("tabs");
        QTest::newRow("update offered")
            << 0x116 << QStringList{"UpdateBtn", "ButtonMin", "ButtonClose", "UpdateBtn"};
        QTest::newRow("up to date") << int(EMBEDDED_FIRMWARE_VERSION)
                                    << QStringList{"Finish", "ButtonMin", "ButtonClose", "Finish"};
        QTest::newRow("no controller") << 0 << QStringList{"ButtonMin", "ButtonClose", "ButtonMin"};
    }

    void tabOrder()
    {
        QFETCH(int, installedVersion);
        QFETCH(QStringList, tabs);
        BusRig rig;
        Widget& window = openShown(rig, installedVersion);
        // Nothing but the window has focus until a key moves it.
        QCOMPARE(QApplication::focusWidget(), &window);
        const QImage untouched = window.grab().toImage();

        // Focus given by the mouse shows no frame.
        for (const QString& name : tabs) {
            auto* control = window.findChild<QPushButton*>(name);
            QVERIFY(control);
            control->setFocus(Qt::MouseFocusReason);
            QVERIFY(control->hasFocus());
            QCOMPARE(window.grab().toImage(), untouched);
        }
        window.setFocus(Qt::MouseFocusReason);

        // Each Tab moves the frame to the next button, and the last one's goes.
        for (const QString& name : tabs) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(focusName(), name);
            const QString misfit = frameMisfit(window, *QApplication::focusWidget(), untouched);
            QVERIFY2(misfit.isEmpty(), qPrintable(name + ": " + misfit));
        }

        // Backwards, the same ring the other way round.
        for (int i = tabs.size() - 2; i >= 0; --i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
            QCOMPARE(focusName(), tabs.at(i));
        }
    }

    void pressingKeys_data()
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

    void pressingKeys()
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
            QKeyEvent repeat(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), QString(),
                             true);
            QApplication::sendEvent(button, &repeat);
        }
        QTest::keyRelease(button, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(rig.updateThreadCount(), threadsStarted);
        rig.deliverUpdateSignals();
        QCOMPARE(window.updateFinished(), threadsStarted == 1);
        // A finished run hands the focus to the finish indicator, where keys start nothing (the
        // rows on the finish indicator).
        QCOMPARE(focusName(),
                 threadsStarted == 1 ? QStringLiteral("Finish") : button->objectName());
        QVERIFY(window.isVisible());
    }

private:
    // Opens the window on a bus that holds a bootloader of this version (0: none), runs one pass
    // and shows it active.
    Widget& openShown(BusRig<>& rig, int installedVersion)
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

    static QString focusName()
    {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    }

    // Empty when every pixel that differs from `before` lies on a ring inside `control`, within 4
    // pixels of its edge, and the ring goes all the way round; else what is wrong.
    static QString frameMisfit(QWidget& window, const QWidget& control, const QImage& before)
    {
        const QImage framed = window.grab().toImage();
        const QRect outer(control.mapTo(&window, QPoint(0, 0)), control.size());
        const QRect inner = outer.adjusted(4, 4, -4, -4);
        int changed = 0;
        bool top = false, bottom = false, left = false, right = false;
        for (int y = 0; y < before.height(); ++y) {
            for (int x = 0; x < before.width(); ++x) {
                if (before.pixel(x, y) == framed.pixel(x, y))
                    continue;
                if (!outer.contains(x, y) || inner.contains(x, y))
                    return QStringLiteral("changed pixel at %1,%2").arg(x).arg(y);
                ++changed;
                top |= y < inner.top();
                bottom |= y > inner.bottom();
                left |= x < inner.left();
                right |= x > inner.right();
            }
        }
        if (!(top && bottom && left && right))
            return QStringLiteral("the frame does not go all the way round");
        if (changed < outer.width() + outer.height())
            return QStringLiteral("only %1 pixels changed").arg(changed);
        return QString();
    }
};

QTEST_MAIN(TestKeyboard)
#include "TestKeyboard.moc"
