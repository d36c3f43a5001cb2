#include "BaseWindow.h"
#include "CustomTitle.h"

#include <QApplication>
#include <QCloseEvent>
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

// Connects its own slot of the same name to the bar's close signal after BaseWindow has, the way
// the updater window does, and records what happens in which order.
class ClosingWindow : public ProbeWindow {
    Q_OBJECT

public:
    ClosingWindow()
    {
        connect(m_title_bar, SIGNAL(signalButtonCloseClicked()), this,
                SLOT(onButtonCloseClicked()));
    }
    QStringList events;

public slots:
    void onButtonCloseClicked()
    {
        events << (isVisible() ? QStringLiteral("derived slot, window open")
                               : QStringLiteral("derived slot, window closed"));
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        events << QStringLiteral("close");
        BaseWindow::closeEvent(event);
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
    void initTestCase();

    void construction();

    void panelBorderAndOutside_data();
    void panelBorderAndOutside();
    void pictureFollowsTheFlag();

    void maximiseThenRestore_data();
    void maximiseThenRestore();

    void barButtons_data();
    void barButtons();

    void loadStyleSheet_data();
    void loadStyleSheet();
};

void TestBaseWindow::initTestCase()
{
    // Closing the last window must not end the test's own event loops.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestBaseWindow::construction()
{
    ProbeWindow window;
    // Qt marks a parentless widget as a window on top of the flags it was given.
    QCOMPARE(int(window.windowFlags() & ~Qt::WindowType_Mask), 0x4800);
    QCOMPARE(window.windowType(), Qt::Window);
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(!window.isVisible());
    QVERIFY(!window.deviceConnected());

    CustomTitle* bar = window.titleBar();
    QVERIFY(bar);
    QCOMPARE(bar->parentWidget(), &window);
    QCOMPARE(window.findChildren<CustomTitle*>(), QList<CustomTitle*>{bar});
    QCOMPARE(bar->pos(), QPoint(0, 0));
    QCOMPARE(bar->size(), QSize(575, 40));
    QVERIFY(!bar->isWindow());

    // With a parent it is no window, and its flags are what it set.
    QWidget parent;
    auto* child = new ProbeWindow(&parent);
    QCOMPARE(int(child->windowFlags()), 0x4800);
    QVERIFY(!child->isWindow());
    QCOMPARE(child->parentWidget(), &parent);
    QVERIFY(child->testAttribute(Qt::WA_TranslucentBackground));
}

void TestBaseWindow::panelBorderAndOutside_data()
{
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<QColor>("expected");

    // The 4-pixel pen is centred on the edges at 2 and 573 and covers 0..3 and 571..574; the
    // sample points lie outside both pictures' rectangles and below the title bar.
    const auto row
        = [](const char* name, const QSize& size, bool connected, QPoint point,
             const QColor& colour) { QTest::newRow(name) << size << connected << point << colour; };
    const QSize fitted(575, 575);
    row("panel, bottom middle", fitted, false, {300, 555}, g_panel);
    row("panel, inside bottom border", fitted, false, {300, 570}, g_panel);
    row("panel, inside left border", fitted, false, {4, 555}, g_panel);
    row("panel, inside right border", fitted, false, {570, 555}, g_panel);
    row("border, bottom inner row", fitted, false, {300, 571}, g_border);
    row("border, bottom outer row", fitted, false, {300, 574}, g_border);
    row("border, left outer column", fitted, false, {0, 555}, g_border);
    row("border, left inner column", fitted, false, {3, 555}, g_border);
    row("border, right inner column", fitted, false, {571, 555}, g_border);
    row("border, right outer column", fitted, false, {574, 555}, g_border);
    row("border, left beside controller picture", fitted, true, {1, 300}, g_border);
    row("panel, left of controller picture", fitted, true, {4, 300}, g_panel);
    row("transparent, bottom-left corner", fitted, false, {0, 574}, g_transparent);
    row("transparent, bottom-right corner", fitted, false, {574, 574}, g_transparent);
    row("transparent, top-left corner", fitted, false, {0, 0}, g_transparent);
    row("transparent, top-right corner", fitted, false, {574, 0}, g_transparent);

    // A larger window keeps the border where it was and fills the rest with the panel.
    const QSize large(700, 700);
    row("large: border stays, right", large, false, {573, 555}, g_border);
    row("large: panel beyond right border", large, false, {575, 555}, g_panel);
    row("large: border stays, bottom", large, false, {300, 573}, g_border);
    row("large: panel beyond bottom border", large, false, {300, 575}, g_panel);
    row("large: panel far corner area", large, false, {650, 650}, g_panel);
    row("large: transparent corner", large, false, {699, 699}, g_transparent);
}

void TestBaseWindow::panelBorderAndOutside()
{
    QFETCH(QSize, windowSize);
    QFETCH(bool, connected);
    QFETCH(QPoint, point);
    QFETCH(QColor, expected);

    ProbeWindow window;
    window.resize(windowSize);
    window.setDeviceConnected(connected);
    const QImage image = renderWindow(window);
    const QColor actual = image.pixelColor(point);
    QVERIFY2(actual == expected, qPrintable(actual.name(QColor::HexArgb) + " instead of "
                                            + expected.name(QColor::HexArgb)));
}

void TestBaseWindow::pictureFollowsTheFlag()
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

    // The flag is switched back and forth on one window: each change must show at the next paint.
    const QVector<bool> flags{false, true, false};
    for (bool connected : flags) {
        const Picture& picture = connected ? controller : start;
        const QPixmap pixmap(QString::fromLatin1(picture.path));
        QVERIFY2(
            !pixmap.isNull(),
            qPrintable(QStringLiteral("%1 is missing from the resource bundle").arg(picture.path)));

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

        // Compare inside the border and below the title bar, where only panel and picture paint.
        const QRect region = picture.target.toAlignedRect().intersected(QRect(4, 40, 567, 531));
        QImage blank(region.size(), expected.format());
        blank.fill(g_panel);
        QVERIFY2(expected.copy(region) != blank, picture.path);
        QCOMPARE(actual.copy(region), expected.copy(region));
    }
}

void TestBaseWindow::maximiseThenRestore_data()
{
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QRect>("initial");

    QTest::newRow("hidden") << false << QRect(120, 80, 575, 575);
    QTest::newRow("shown") << true << QRect(120, 80, 575, 575);
    QTest::newRow("shown, other size") << true << QRect(30, 40, 300, 200);
}

void TestBaseWindow::maximiseThenRestore()
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
    QCOMPARE(window.geometry(), QRect(workArea.left() - 3, workArea.top() - 3, workArea.width() + 6,
                                      workArea.height() + 6));

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

void TestBaseWindow::barButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("minimised");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("minimise") << "ButtonMin" << true << QStringList();
    // BaseWindow closes before the window's own slot of the same name runs.
    QTest::newRow("close") << "ButtonClose" << false
                           << QStringList{"close", "derived slot, window closed"};
}

void TestBaseWindow::barButtons()
{
    QFETCH(QString, button);
    QFETCH(bool, minimised);
    QFETCH(QStringList, events);

    ClosingWindow window;
    window.resize(575, 575);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!window.isMinimized());

    auto* control = window.titleBar()->findChild<QPushButton*>(button);
    QVERIFY(control);
    QTest::mouseClick(control, Qt::LeftButton);
    QCOMPARE(window.events, events);
    QTRY_COMPARE(window.isMinimized(), minimised);
    QCOMPARE(window.isVisible(), minimised);
}

void TestBaseWindow::loadStyleSheet_data()
{
    QTest::addColumn<bool>("onBar");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("appended");

    const QString accent
        = QStringLiteral("QLabel { color: red; } /* caf") + QChar(0xE9) + QStringLiteral(" */");
    const QString cut = QStringLiteral("QLabel { color: blue; }");
    for (bool onBar : {false, true}) {
        const char* owner = onBar ? "bar" : "window";
        QTest::addRow("%s: Latin-1 text", owner) << onBar << QStringList{"Accent"} << accent;
        QTest::addRow("%s: a NUL byte ends the text", owner) << onBar << QStringList{"Cut"} << cut;
        QTest::addRow("%s: missing file changes nothing", owner)
            << onBar << QStringList{"Missing"} << QString();
        QTest::addRow("%s: extension is added", owner)
            << onBar << QStringList{"Accent.css"} << QString();
        QTest::addRow("%s: files append in order", owner)
            << onBar << QStringList{"Cut", "Missing", "Accent"} << cut + accent;
    }
}

void TestBaseWindow::loadStyleSheet()
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

QTEST_MAIN(TestBaseWindow)
#include "TestBaseWindow.moc"
