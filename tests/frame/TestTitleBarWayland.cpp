// The title bar's drag under a Wayland compositor, which alone decides where windows are: the
// press must hand the move to the compositor. Run by run-under-weston.sh, which gives Weston a
// pointer on a virtual X display; xdotool drives that pointer and Weston's scene graph says
// where the window is.
#include "BaseWindow.h"
#include "CustomTitle.h"

#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

const QString g_title = QStringLiteral("Lumaro drag probe");

// The window's top-left corner as the compositor has it, or (-1, -1) while it has no such window.
QPoint compositorPosition()
{
    QProcess debug;
    debug.start(QStringLiteral("weston-debug"), {QStringLiteral("scene-graph")});
    if (!debug.waitForFinished(5000))
        return QPoint(-1, -1);
    const QString graph = QString::fromUtf8(debug.readAllStandardOutput());
    const QRegularExpression view(QStringLiteral("PID %1, [^\\n]*top-level window '%2'[^\\n]*\\n"
                                                 "\\s*position: \\((-?\\d+), (-?\\d+)\\)")
                                      .arg(QCoreApplication::applicationPid())
                                      .arg(QRegularExpression::escape(g_title)));
    const QRegularExpressionMatch match = view.match(graph);
    return match.hasMatch() ? QPoint(match.captured(1).toInt(), match.captured(2).toInt()) : QPoint(-1, -1);
}

bool pointer(const QStringList& arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

class PressCounter : public QObject {
public:
    int presses = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress)
            ++presses;
        return false;
    }
};

} // namespace

class TestTitleBarWayland : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void dragMovesTheWindowThroughTheCompositor_data();
    void dragMovesTheWindowThroughTheCompositor();
};

void TestTitleBarWayland::initTestCase()
{
    QVERIFY2(QGuiApplication::platformName().startsWith(QLatin1String("wayland")),
             qPrintable(QGuiApplication::platformName()));
}

void TestTitleBarWayland::dragMovesTheWindowThroughTheCompositor_data()
{
    QTest::addColumn<int>("button"); // xdotool's numbering
    QTest::addColumn<QPoint>("delta");

    QTest::newRow("left button") << 1 << QPoint(120, 70);
    // Upwards only as far as the compositor lets a window go: not under its panel.
    QTest::newRow("right button, left and down") << 3 << QPoint(-90, 40);
    QTest::newRow("middle button") << 2 << QPoint(35, 5);
}

void TestTitleBarWayland::dragMovesTheWindowThroughTheCompositor()
{
    QFETCH(int, button);
    QFETCH(QPoint, delta);

    BaseWindow window;
    window.setWindowTitle(g_title);
    window.resize(575, 575);
    auto* bar = window.findChild<CustomTitle*>();
    QVERIFY(bar);
    PressCounter counter;
    bar->installEventFilter(&counter);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QPoint start;
    QTRY_VERIFY((start = compositorPosition()) != QPoint(-1, -1));
    const QPoint qtPosition = window.pos();

    // On the title text, clear of the buttons. The output's origin is the X display's.
    const QPoint grab = start + QPoint(200, 20);
    QVERIFY(pointer({"mousemove", QString::number(grab.x()), QString::number(grab.y()),
                     "mousedown", QString::number(button)}));
    QTRY_COMPARE(counter.presses, 1);
    // The compositor follows the pointer only once the bar has asked it to, at the press.
    QTest::qWait(100);
    const QPoint halfway = grab + delta / 2;
    const QPoint end = grab + delta;
    QVERIFY(pointer({"mousemove", QString::number(halfway.x()), QString::number(halfway.y())}));
    QVERIFY(pointer({"mousemove", QString::number(end.x()), QString::number(end.y()), "mouseup",
                     QString::number(button)}));

    QTRY_COMPARE(compositorPosition(), start + delta);
    // The bar moved nothing itself: Qt's idea of the position is where it was.
    QCOMPARE(window.pos(), qtPosition);
}

QTEST_MAIN(TestTitleBarWayland)
#include "TestTitleBarWayland.moc"
