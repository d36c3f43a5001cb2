#include "CustomTitle.h"

#include <QColor>
#include <QFont>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QRegion>
#include <QtTest>

namespace {

// A top-level window of the updater's size holding one bar, as BaseWindow would.
struct BarHost {
    BarHost()
        : bar(new CustomTitle(&window))
    {
        window.resize(575, 575);
    }
    QLabel* title() const { return bar->findChild<QLabel*>(QStringLiteral("TitleContent")); }

    QWidget window;
    CustomTitle* bar;
};

QImage renderWidget(QWidget* widget)
{
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    // Only what the widget paints itself: no palette background behind it.
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

void sendMouse(QWidget* target, QEvent::Type type, const QPointF& globalPos, Qt::MouseButton button)
{
    const QPointF local = target->mapFromGlobal(globalPos.toPoint());
    const Qt::MouseButtons held
        = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, local, local, globalPos,
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

class TestCustomTitle : public QObject {
    Q_OBJECT

private slots:
    void init() { g_roll_position = 0; }

    void barConstruction()
    {
        BarHost host;
        CustomTitle* bar = host.bar;
        QCOMPARE(bar->windowTitle(), QStringLiteral("Form"));
        QCOMPARE(int(bar->windowFlags()), 0x800);
        QVERIFY(!bar->isWindow());
        QCOMPARE(bar->parentWidget(), &host.window);
        QCOMPARE(bar->minimumSize(), QSize(575, 40));
        QCOMPARE(bar->maximumSize(), QSize(575, 40));
        QCOMPARE(bar->pos(), QPoint(0, 0));
        // Exactly the four controls, all adopted as children of the bar.
        QCOMPARE(bar->findChildren<QWidget*>().size(), 4);

        auto* layout = qobject_cast<QHBoxLayout*>(bar->layout());
        QVERIFY(layout);
        QCOMPARE(layout->contentsMargins(), QMargins(5, 0, 0, 0));
        QCOMPARE(layout->spacing(), 0);
        QCOMPARE(layout->count(), 4);
        QLabel* title = host.title();
        QVERIFY(title);
        QWidget* icon = layout->itemAt(0)->widget();
        QVERIFY(qobject_cast<QLabel*>(icon));
        QVERIFY(icon != title);
        QVERIFY(icon->objectName().isEmpty());
        QCOMPARE(layout->itemAt(1)->widget(), title);
        QCOMPARE(layout->itemAt(2)->widget(), bar->findChild<QPushButton*>("ButtonMin"));
        QCOMPARE(layout->itemAt(3)->widget(), bar->findChild<QPushButton*>("ButtonClose"));
        for (int i = 0; i < layout->count(); ++i) {
            QCOMPARE(layout->stretch(i), 0);
            QCOMPARE(int(layout->itemAt(i)->alignment()), 0);
        }
        QCOMPARE(title->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(title->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);

        // No restore geometry until one is set; TestBaseWindow::maximiseThenRestore sets and reads
        // it.
        QPoint pos(7, 7);
        QSize size(7, 7);
        bar->getRestoreGeometry(pos, size);
        QCOMPARE(pos, QPoint(0, 0));
        QCOMPARE(size, QSize(-1, -1));
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QSize>("minimumSize");
        QTest::addColumn<QSize>("maximumSize");
        // What a click on the control makes the bar emit.
        QTest::addColumn<int>("minimiseSignals");
        QTest::addColumn<int>("closeSignals");

        const QSize unbounded(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        QTest::newRow("minimise") << QStringLiteral("ButtonMin") << QStringLiteral("-")
                                  << QStringLiteral("min") << QSize(40, 40) << QSize(40, 40) << 1
                                  << 0;
        QTest::newRow("close") << QStringLiteral("ButtonClose") << QString::fromUtf8("\xC3\x97")
                               << QStringLiteral("close") << QSize(40, 40) << QSize(40, 40) << 0
                               << 1;
        QTest::newRow("title") << QStringLiteral("TitleContent") << QString() << QString()
                               << QSize(0, 0) << unbounded << 0 << 0;
    }

    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QString, toolTip);
        QFETCH(QSize, minimumSize);
        QFETCH(QSize, maximumSize);
        QFETCH(int, minimiseSignals);
        QFETCH(int, closeSignals);

        BarHost host;
        QWidget* control = host.bar->findChild<QWidget*>(name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(control->property("text").toString(), text);
        QCOMPARE(control->toolTip(), toolTip);
        QCOMPARE(control->minimumSize(), minimumSize);
        QCOMPARE(control->maximumSize(), maximumSize);

        host.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host.window));
        QSignalSpy minimise(host.bar, SIGNAL(signalButtonMinClicked()));
        QSignalSpy close(host.bar, SIGNAL(signalButtonCloseClicked()));
        QTest::mouseClick(control, Qt::LeftButton);
        QCOMPARE(minimise.count(), minimiseSignals);
        QCOMPARE(close.count(), closeSignals);
    }

    void backgroundColour_data()
    {
        QTest::addColumn<bool>("recolour");
        QTest::addColumn<QColor>("expected");

        QTest::newRow("default teal") << false << QColor(0, 153, 188);
        QTest::newRow("after setBackgroundColor") << true << QColor(12, 34, 56);
    }

    void backgroundColour()
    {
        QFETCH(bool, recolour);
        QFETCH(QColor, expected);

        BarHost host;
        if (recolour)
            host.bar->setBackgroundColor(12, 34, 56);
        const QImage image = renderWidget(host.bar);
        // Over the empty title label, the bar's own fill shows.
        QCOMPARE(image.pixelColor(300, 20), expected);
        QCOMPARE(image.pixelColor(1, 1), expected);
        // The rounded corners stay unpainted.
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(574, 39)), 0);
    }

    void titleIconIsScaledExactlyAndAMissingOneShowsNothing()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QImage source(2, 1, QImage::Format_RGB32);
        source.setPixel(0, 0, qRgb(255, 0, 0));
        source.setPixel(1, 0, qRgb(0, 0, 255));
        const QString path = dir.filePath(QStringLiteral("icon.png"));
        QVERIFY(source.save(path));

        BarHost host;
        host.bar->setTitleIcon(path, QSize(42, 36));
        auto* icon = qobject_cast<QLabel*>(host.bar->layout()->itemAt(0)->widget());
        QVERIFY(icon);
        const QImage shown = icon->pixmap(Qt::ReturnByValue).toImage();
        QCOMPARE(shown.size(), QSize(42, 36));
        // Nearest-pixel scaling: the two halves meet without a blended column.
        QCOMPARE(shown.pixelColor(20, 0), QColor(255, 0, 0));
        QCOMPARE(shown.pixelColor(21, 35), QColor(0, 0, 255));

        // A missing picture shows nothing, not the last one.
        QTest::ignoreMessage(QtWarningMsg, "QPixmap::scaled: Pixmap is a null pixmap");
        host.bar->setTitleIcon(QStringLiteral(":/no/such/icon.png"), QSize(42, 36));
        QVERIFY(icon->pixmap(Qt::ReturnByValue).isNull());
    }

    void widthTrackingAtRepaint_data()
    {
        QTest::addColumn<int>("borderWidth");
        QTest::addColumn<int>("titleWidth");
        QTest::addColumn<int>("widthBeforeRepaint");
        QTest::addColumn<int>("widthAfterRepaint");

        QTest::newRow("narrower title undone") << 0 << 300 << 300 << 575;
        QTest::newRow("wider title undone") << 0 << 800 << 800 << 575;
        QTest::newRow("border applied") << 10 << -1 << 575 << 565;
        QTest::newRow("border wins over title") << 4 << 575 << 575 << 571;
        QTest::newRow("title equal to target kept") << 20 << 555 << 555 << 555;
    }

    void widthTrackingAtRepaint()
    {
        QFETCH(int, borderWidth);
        QFETCH(int, titleWidth);
        QFETCH(int, widthBeforeRepaint);
        QFETCH(int, widthAfterRepaint);

        BarHost host;
        host.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host.window));
        QCOMPARE(host.bar->width(), 575);

        host.bar->setBorderWidth(borderWidth);
        if (titleWidth >= 0)
            host.bar->setTitleWidth(titleWidth);
        QCOMPARE(host.bar->width(), widthBeforeRepaint);

        host.bar->repaint();
        QCOMPARE(host.bar->minimumWidth(), widthAfterRepaint);
        QCOMPARE(host.bar->maximumWidth(), widthAfterRepaint);
        QCOMPARE(host.bar->height(), 40);
    }

    void dragging_data()
    {
        QTest::addColumn<int>("pressButton"); // Qt::NoButton: no press at all
        QTest::addColumn<QPointF>("pressAt");
        QTest::addColumn<QVector<QPointF>>("moves");
        QTest::addColumn<int>("releaseAfter"); // number of moves before the release; -1: none
        QTest::addColumn<QPoint>("expected");

        const QPointF origin(500, 300);
        QTest::newRow("left button, steps add up")
            << int(Qt::LeftButton) << origin << QVector<QPointF>{{510, 305}, {530, 290}, {520, 320}}
            << -1 << QPoint(220, 170);
        QTest::newRow("right button drags")
            << int(Qt::RightButton) << origin << QVector<QPointF>{{450, 350}} << -1
            << QPoint(150, 200);
        QTest::newRow("middle button drags")
            << int(Qt::MiddleButton) << origin << QVector<QPointF>{{501, 299}, {502, 298}} << -1
            << QPoint(202, 148);
        QTest::newRow("move without press")
            << int(Qt::NoButton) << origin << QVector<QPointF>{{600, 400}, {700, 500}} << -1
            << QPoint(200, 150);
        QTest::newRow("release ends the drag")
            << int(Qt::LeftButton) << origin << QVector<QPointF>{{520, 310}, {900, 900}} << 1
            << QPoint(220, 160);
        // Global positions are rounded half up before the deltas are taken.
        QTest::newRow("fractional positions round")
            << int(Qt::LeftButton) << QPointF(500.5, 300.4)
            << QVector<QPointF>{{510.4, 305.6}, {510.6, 305.5}} << -1 << QPoint(210, 156);
    }

    void dragging()
    {
        QFETCH(int, pressButton);
        QFETCH(QPointF, pressAt);
        QFETCH(QVector<QPointF>, moves);
        QFETCH(int, releaseAfter);
        QFETCH(QPoint, expected);

        BarHost host;
        host.window.move(200, 150);
        host.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host.window));
        QCOMPARE(host.window.pos(), QPoint(200, 150));

        const auto button = Qt::MouseButton(pressButton);
        if (button != Qt::NoButton)
            sendMouse(host.bar, QEvent::MouseButtonPress, pressAt, button);
        for (int i = 0; i < moves.size(); ++i) {
            if (i == releaseAfter)
                sendMouse(host.bar, QEvent::MouseButtonRelease, moves.at(i - 1), button);
            sendMouse(host.bar, QEvent::MouseMove, moves.at(i), button);
        }
        QCOMPARE(host.window.pos(), expected);
    }

    void rollingTitle_data()
    {
        QTest::addColumn<int>("startPosition");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fontSize");
        QTest::addColumn<QStringList>("shown");

        QTest::newRow("three letters cycle")
            << 0 << QStringLiteral("abc") << 12 << QStringList{"abc", "bc", "c", "", "abc", "bc"};
        QTest::newRow("empty title") << 0 << QString() << 20 << QStringList{"", "", ""};
        QTest::newRow("index beyond new text restarts")
            << 5 << QStringLiteral("xy") << 12 << QStringList{"xy", "y", "", "xy"};
        QTest::newRow("index equal to new length shows empty")
            << 2 << QStringLiteral("xy") << 12 << QStringList{"", "xy", "y"};
        QTest::newRow("index inside new text continues")
            << 1 << QStringLiteral("xyz") << 12 << QStringList{"yz", "z", "", "xyz"};
    }

    void rollingTitle()
    {
        QFETCH(int, startPosition);
        QFETCH(QString, text);
        QFETCH(int, fontSize);
        QFETCH(QStringList, shown);

        BarHost host;
        const QString family = host.title()->font().family();
        g_roll_position = startPosition;
        host.bar->setTitleContent(text, fontSize);
        QCOMPARE(g_roll_position, startPosition);
        QCOMPARE(host.title()->text(), text);
        QCOMPARE(host.title()->font().pointSize(), fontSize);
        QCOMPARE(host.title()->font().family(), family);

        for (int tick = 0; tick < shown.size(); ++tick) {
            QVERIFY(QMetaObject::invokeMethod(host.bar, "onRollTitle"));
            QVERIFY2(
                host.title()->text() == shown.at(tick),
                qPrintable(QStringLiteral("tick %1: '%2'").arg(tick).arg(host.title()->text())));
        }

        // A new title replaces the shown one at once, in its own size.
        host.bar->setTitleContent(QStringLiteral("Other"), fontSize + 8);
        QCOMPARE(host.title()->text(), QStringLiteral("Other"));
        QCOMPARE(host.title()->font().pointSize(), fontSize + 8);
    }

    void rollTimerTicksEvery200ms()
    {
        BarHost host;
        host.bar->setTitleContent(QStringLiteral("abc"), 12);
        QTest::qWait(250);
        QCOMPARE(host.title()->text(), QStringLiteral("abc"));
        QCOMPARE(g_roll_position, 0);

        // A coarse timer may fire up to 5% early: each 200 ms tick comes after at least 190 ms.
        QElapsedTimer clock;
        clock.start();
        host.bar->initTitleRoll();
        QTRY_COMPARE_WITH_TIMEOUT(g_roll_position, 1, 10000);
        QVERIFY2(clock.elapsed() >= 190, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(host.title()->text(), QStringLiteral("abc"));
        QTRY_COMPARE_WITH_TIMEOUT(host.title()->text(), QStringLiteral("bc"), 10000);
        QVERIFY2(clock.elapsed() >= 380, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_MAIN(TestCustomTitle)
#include "TestCustomTitle.moc"
