#include "CustomTitle.h"
#include "FirmwareImage.h"
#include "TestSupport.h"
#include "BusRig.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QtTest>

#include <cstddef>
#include <type_traits>

class TestWidget : public QObject {
    Q_OBJECT

private slots:
    void formWidgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QSize>("minimum");
        QTest::addColumn<QSize>("maximum");
        const QSize unset(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        QTest::newRow("UpdateBtn")
            << "UpdateBtn" << QRect(310, 145, 210, 90) << QSize(60, 24) << QSize(210, 90);
        QTest::newRow("m_update_progress")
            << "m_update_progress" << QRect(37, 370, 500, 90) << QSize(500, 90) << QSize(500, 90);
        QTest::newRow("Finish") << "Finish" << QRect(310, 145, 210, 90) << QSize(0, 0) << unset;
    }

    void formWidgets()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QSize, minimum);
        QFETCH(QSize, maximum);
        BusRig rig;
        QWidget* widget = rig.window().findChild<QWidget*>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(widget->minimumSize(), minimum);
        QCOMPARE(widget->maximumSize(), maximum);
        QVERIFY(widget->isHidden());
    }

    void startUpState()
    {
        BusRig rig;
        Widget& window = rig.window();
        QCOMPARE(window.minimumSize(), QSize(575, 575));
        QCOMPARE(window.maximumSize(), QSize(575, 575));
        QVERIFY(!window.windowIcon().isNull());
        // Frameless with a minimise button; Qt adds Qt::Window to a widget without a parent.
        QCOMPARE(int(window.windowFlags()), 0x4800 | Qt::Window);
        // The form's value of 24 never shows.
        QCOMPARE(rig.progress()->value(), 0);
        QVERIFY(!rig.progress()->isTextVisible());
        QVERIFY(rig.updateButton()->text().isEmpty());
        QVERIFY(rig.finish()->text().isEmpty());
        QVERIFY(!window.updateFinished());
        QVERIFY(window.deviceHandle() == nullptr);
        QCOMPARE(rig.bus.openHandleCount(), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(window.outReport()), 65),
                 QByteArray(65, '\0'));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(window.inReport()), 65),
                 QByteArray(65, '\0'));

        auto* bar = window.findChild<CustomTitle*>();
        QVERIFY(bar);
        QCOMPARE(bar->pos(), QPoint(0, 0));
        QCOMPARE(bar->width(), 575);
        auto* title = bar->findChild<QLabel*>("TitleContent");
        QVERIFY(title);
        QCOMPARE(title->text(), "QR5 Lumaro " + releaseVersion());
        QCOMPARE(title->font().pointSize(), 12);
        // The icon, the bar's first control.
        auto* icon = qobject_cast<QLabel*>(bar->layout()->itemAt(0)->widget());
        QVERIFY(icon);
        QCOMPARE(icon->pixmap(Qt::ReturnByValue).size(), QSize(42, 36));
    }

    void onlyUpdateButtonIsConnectedByName()
    {
        BusRig rig;
        // disconnect() answers whether there was a connection to undo.
        QVERIFY(QObject::disconnect(rig.updateButton(), SIGNAL(clicked()), &rig.window(),
                                    SLOT(on_UpdateBtn_clicked())));
        QVERIFY(!QObject::disconnect(rig.updateButton(), SIGNAL(clicked(bool)), nullptr, nullptr));
        QVERIFY(!QObject::disconnect(rig.finish(), SIGNAL(clicked(bool)), nullptr, nullptr));
    }

    void acceptedClickShowsAnEmptyBarAndStartsAThread()
    {
        BusRig rig;
        rig.updateButton()->show();

        rig.updateButton()->click();

        QVERIFY(!rig.progress()->isHidden());
        QCOMPARE(rig.progress()->value(), 0);
        QCOMPARE(rig.updateThreadCount(), 1);
        // The button stays as it was until the flashing slot runs.
        QVERIFY(!rig.updateButton()->isHidden());
        rig.deliverUpdateSignals();
    }

    void closeEndsTheLoopWithZero_data()
    {
        QTest::addColumn<bool>("byButton");
        // The title bar's Close closes first, then stops the polling; any other close leaves it.
        QTest::newRow("title bar Close") << true;
        QTest::newRow("other close") << false;
    }

    void closeEndsTheLoopWithZero()
    {
        QFETCH(bool, byButton);
        VirtualHidAccess bus;
        bus.setRealSleeps(false);
        Widget window(bus);
        CFindDeviceThread* polling = window.findDeviceThread();
        // Whether the polling thread had been told to stop when the window closed.
        bool closed = false;
        bool stopFlagAtClose = false;
        connect(qApp, &QGuiApplication::lastWindowClosed, &window, [&] {
            closed = true;
            stopFlagAtClose = polling->m_stop_polling;
        });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* closeButton = window.findChild<QPushButton*>("ButtonClose");
        QVERIFY(closeButton);

        QTimer::singleShot(0, &window, [&] {
            if (byButton)
                QTest::mouseClick(closeButton, Qt::LeftButton);
            else
                window.close();
        });
        QCOMPARE(QApplication::exec(), 0);

        QVERIFY(closed);
        QVERIFY(!stopFlagAtClose);
        QCOMPARE(polling->m_stop_polling.load(), byButton);
        polling->m_stop_polling = true;
        QVERIFY(polling->wait(1000));
    }

    // The window's own reading of what it shows tells every state from every other, and from the
    // combinations that no state has, which only code that moves the widgets itself can make. A
    // state that one pass or run reaches is read where that is tested; here, those of several
    // steps.
    void everyStateIsToldApart_data()
    {
        QTest::addColumn<int>("installed");
        // What happens after the first discovery pass, in order.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<WindowState>("state");
        const int none = -1, older = 0x0116, current = int(EMBEDDED_FIRMWARE_VERSION);
        using Steps = QStringList;
        QTest::newRow("pressed") << older << Steps{"press"} << WindowState::UpdateOffered;
        QTest::newRow("offered again after stopping short")
            << older << Steps{"cut", "flash", "pass"} << WindowState::UpdateOffered;
        QTest::newRow("run without a press, stopped short")
            << older << Steps{"cut", "run"} << WindowState::UpdateMode;
        QTest::newRow("flashed in this run")
            << older << Steps{"flash", "pass"} << WindowState::Finished;
        QTest::newRow("Update beside Finish")
            << current << Steps{"show Update"} << WindowState::Contradictory;
        QTest::newRow("the bar beside the start picture")
            << none << Steps{"show bar"} << WindowState::Contradictory;
        QTest::newRow("finished without Finish")
            << older << Steps{"flash", "hide Finish"} << WindowState::Contradictory;
    }

    void everyStateIsToldApart()
    {
        QFETCH(int, installed);
        QFETCH(QStringList, steps);
        QFETCH(WindowState, state);
        BusRig rig;
        if (installed >= 0)
            rig.addBootloader(static_cast<std::uint16_t>(installed));
        rig.pass();

        for (const QString& step : steps) {
            if (step == "cut")
                rig.bus.controller(0).setWrongChecksumPage(17);
            else if (step == "press")
                rig.updateButton()->click();
            else if (step == "flash")
                rig.clickUpdateAndFlash();
            else if (step == "run")
                rig.window()._DownLoad_Firmware_Data(g_firmware_image);
            else if (step == "pass")
                rig.pass();
            else if (step == "show Update")
                rig.updateButton()->show();
            else if (step == "show bar")
                rig.progress()->show();
            else if (step == "hide Finish")
                rig.finish()->hide();
            else
                QFAIL(qPrintable("no such step: " + step));
        }

        QCOMPARE(rig.shownState(), state);
    }

    // Both spellings of a null parent must pick the program's constructor; an overload that also
    // took them would make these lines ambiguous and stop the build.
    void nullParentWrittenEitherWayMeansTheProgramsWindow()
    {
        static_assert(std::is_constructible_v<Widget, std::nullptr_t>);
        static_assert(!std::is_constructible_v<Widget, HidAccess*>);
        Widget fromNullptr(nullptr);
        Widget fromZero(0);
        for (Widget* window : {&fromNullptr, &fromZero}) {
            QCOMPARE(window->parentWidget(), nullptr);
            window->findDeviceThread()->m_stop_polling = true;
        }
    }
};

QTEST_MAIN(TestWidget)
#include "TestWidget.moc"
