#include "BaseWindow.h"
#include "CustomTitle.h"

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>

namespace {

// Opens the protected state to the tests, as the updater window uses it.
class ProbeWindow : public BaseWindow {
    Q_OBJECT

public:
    explicit ProbeWindow(QWidget* parent = nullptr)
        : BaseWindow(parent)
    {
    }
    CustomTitle* titleBar() const { return m_title_bar; }
    bool deviceConnected() const { return m_device_connected; }
    void setDeviceConnected(bool connected)
    {
        m_device_connected = connected;
        update();
    }
};

const QColor g_panel(240, 240, 240);
const QColor g_border(0, 153, 188);
const QColor g_transparent(0, 0, 0, 0);

QImage renderWindow(QWidget& window)
{
    QImage image(window.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    window.render(&image);
    return image;
}

} // namespace

class TestBaseWindow : public QObject {
    Q_OBJECT

private slots:
    void construction()
    {
        // Its flags without a parent are read on the updater window (TestWidget::startUpState).
        ProbeWindow window;
        QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(!window.isVisible());
        QVERIFY(!window.deviceConnected());

        CustomTitle* bar = window.titleBar();
        QVERIFY(bar);
        QCOMPARE(bar->parentWidget(), &window);
        QCOMPARE(window.findChildren<CustomTitle*>(), QList<CustomTitle*>{bar});

        // With a parent it is no window, and its flags are what it set.
        QWidget parent;
        auto* child = new ProbeWindow(&parent);
        QCOMPARE(int(child->windowFlags()), 0x4800);
        QVERIFY(!child->isWindow());
        QCOMPARE(child->parentWidget(), &parent);
        QVERIFY(child->testAttribute(Qt::WA_TranslucentBackground));
    }

    void panelBorderAndOutside_data()
    {
        QTest::addColumn<QSize>("windowSize");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QVector<QPoint>>("points");
        QTest::addColumn<QColor>("expected");

        // The 4-pixel pen is centred on the edges at 2 and 573 and covers 0..3 and 571..574; the
        // sample points lie outside both pictures' rectangles and below the title bar.
        using Points = QVector<QPoint>;
        const QSize fitted(575, 575);
        QTest::newRow("panel: middle, inside each border")
            << fitted << false << Points{{300, 555}, {300, 570}, {4, 555}, {570, 555}} << g_panel;
        QTest::newRow("border: inner and outer rows and columns")
            << fitted << false
            << Points{{300, 571}, {300, 574}, {0, 555}, {3, 555}, {571, 555}, {574, 555}}
            << g_border;
        QTest::newRow("border beside the controller picture")
            << fitted << true << Points{{1, 300}} << g_border;
        QTest::newRow("panel left of the controller picture")
            << fitted << true << Points{{4, 300}} << g_panel;
        QTest::newRow("transparent corners")
            << fitted << false << Points{{0, 574}, {574, 574}, {0, 0}, {574, 0}} << g_transparent;

        // A larger window keeps the border where it was and fills the rest with the panel.
        const QSize large(700, 700);
        QTest::newRow("large: border stays")
            << large << false << Points{{573, 555}, {300, 573}} << g_border;
        QTest::newRow("large: panel beyond the border")
            << large << false << Points{{575, 555}, {300, 575}, {650, 650}} << g_panel;
        QTest::newRow("large: transparent corner")
            << large << false << Points{{699, 699}} << g_transparent;
    }

    void panelBorderAndOutside()
    {
        QFETCH(QSize, windowSize);
        QFETCH(bool, connected);
        QFETCH(QVector<QPoint>, points);
        QFETCH(QColor, expected);

        ProbeWindow window;
        window.resize(windowSize);
        window.setDeviceConnected(connected);
        const QImage image = renderWindow(window);
        for (const QPoint& point : points) {
            const QColor actual = image.pixelColor(point);
            QVERIFY2(actual == expected, qPrintable(QStringLiteral("%1,%2: %3 instead of %4")
                                                        .arg(point.x())
                                                        .arg(point.y())
                                                        .arg(actual.name(QColor::HexArgb),
                                                             expected.name(QColor::HexArgb))));
        }
    }

    void pictureFollowsTheFlag()
    {
        struct Picture {
            const char* path;
            QRectF target;
        };
        const Picture start{":/image/res/QR5START.png", QRectF(-35, 60, 650, 480)};
        const Picture controller{":/image/res/QR5CTRL.png", QRectF(5, 70, 300, 240)};

        ProbeWindow window;
        window.resize(575, 575);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // The flag is switched back and forth on one window: each change must show at the next
        // paint.
        const QVector<bool> flags{false, true, false};
        for (bool connected : flags) {
            const Picture& picture = connected ? controller : start;
            const QPixmap pixmap(QString::fromLatin1(picture.path));

            // The picture alone, scaled the same way onto the panel colour.
            QImage expected(window.size(), QImage::Format_ARGB32_Premultiplied);
            expected.fill(g_panel);
            {
                QPainter painter(&expected);
                painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
                painter.drawPixmap(picture.target, pixmap, QRectF(pixmap.rect()));
            }

            window.setDeviceConnected(connected);
            const QImage actual = renderWindow(window);

            // Compare inside the border and below the title bar, where only panel and picture
            // paint.
            const QRect region = picture.target.toAlignedRect().intersected(QRect(4, 40, 567, 531));
            // A picture missing from the bundle would leave the expected image blank.
            QImage blank(region.size(), expected.format());
            blank.fill(g_panel);
            QVERIFY2(expected.copy(region) != blank, picture.path);
            QCOMPARE(actual.copy(region), expected.copy(region));
        }
    }

    void maximiseThenRestore_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QRect>("initial");

        QTest::newRow("hidden") << false << QRect(120, 80, 575, 575);
        QTest::newRow("shown") << true << QRect(120, 80, 575, 575);
        QTest::newRow("shown, other size") << true << QRect(30, 40, 300, 200);
    }

    void maximiseThenRestore()
    {
        QFETCH(bool, shown);
        QFETCH(QRect, initial);

        ProbeWindow window;
        window.setGeometry(initial);
        // Before any maximise there is no geometry to go back to: Restore moves to the origin.
        QVERIFY(QMetaObject::invokeMethod(&window, "onButtonRestoreClicked"));
        QCOMPARE(window.pos(), QPoint(0, 0));
        window.setGeometry(initial);
        if (shown) {
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
        }
        QCOMPARE(window.geometry(), initial);

        QVERIFY(QMetaObject::invokeMethod(&window, "onButtonMaxClicked"));
        const QRect workArea = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(!workArea.isEmpty());
        QCOMPARE(window.geometry(), QRect(workArea.left() - 3, workArea.top() - 3,
                                          workArea.width() + 6, workArea.height() + 6));

        QPoint restorePos;
        QSize restoreSize;
        window.titleBar()->getRestoreGeometry(restorePos, restoreSize);
        QCOMPARE(restorePos, initial.topLeft());
        QCOMPARE(restoreSize, initial.size());

        QVERIFY(QMetaObject::invokeMethod(&window, "onButtonRestoreClicked"));
        QCOMPARE(window.geometry(), initial);

        // Each maximise remembers the geometry it started from.
        const QRect moved = initial.translated(15, 25);
        window.setGeometry(moved);
        QVERIFY(QMetaObject::invokeMethod(&window, "onButtonMaxClicked"));
        QVERIFY(QMetaObject::invokeMethod(&window, "onButtonRestoreClicked"));
        QCOMPARE(window.geometry(), moved);
    }

    // Close, and its order before the window's own slot of the same name, is proven on the updater
    // window itself (TestWidget::closeEndsTheLoopWithZero).
    void minimiseButton()
    {
        ProbeWindow window;
        window.resize(575, 575);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!window.isMinimized());

        auto* control = window.titleBar()->findChild<QPushButton*>("ButtonMin");
        QVERIFY(control);
        QTest::mouseClick(control, Qt::LeftButton);
        QTRY_VERIFY(window.isMinimized());
        QVERIFY(window.isVisible());
    }

    void loadStyleSheet_data()
    {
        QTest::addColumn<bool>("onBar");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("appended");

        const QString accent
            = QStringLiteral("QLabel { color: red; } /* caf") + QChar(0xE9) + QStringLiteral(" */");
        const QString cut = QStringLiteral("QLabel { color: blue; }");
        for (bool onBar : {false, true}) {
            const char* owner = onBar ? "bar" : "window";
            QTest::addRow("%s: extension is added", owner)
                << onBar << QStringList{"Accent.css"} << QString();
            // Latin-1 text, a NUL byte ends the text, a missing file changes nothing.
            QTest::addRow("%s: files append in order", owner)
                << onBar << QStringList{"Cut", "Missing", "Accent"} << cut + accent;
        }
    }

    void loadStyleSheet()
    {
        QFETCH(bool, onBar);
        QFETCH(QStringList, names);
        QFETCH(QString, appended);

        ProbeWindow window;
        const QString initial = QStringLiteral("QWidget { margin: 1px; }");
        QWidget* target = onBar ? static_cast<QWidget*>(window.titleBar()) : &window;
        target->setStyleSheet(initial);
        for (const QString& name : names) {
            if (onBar)
                window.titleBar()->loadStyleSheet(name);
            else
                window.loadStyleSheet(name);
        }
        QCOMPARE(target->styleSheet(), initial + appended);
    }
};

QTEST_MAIN(TestBaseWindow)
#include "TestBaseWindow.moc"
