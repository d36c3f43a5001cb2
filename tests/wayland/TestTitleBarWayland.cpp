// The title bar's drag under a Wayland compositor, which alone decides where windows are: the
// press must hand the move to the compositor. Run by run-under-sway.sh: the test's own virtual
// pointer drives the compositor's seat, and sway's IPC says where the window is.
#include "BaseWindow.h"
#include "CustomTitle.h"
#include "VirtualPointer.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

namespace {

const QString g_title = QStringLiteral("Lumaro drag probe");
VirtualPointer* g_pointer = nullptr;

QJsonObject compositorTree()
{
    QProcess ipc;
    ipc.start(QStringLiteral("swaymsg"),
              {QStringLiteral("--raw"), QStringLiteral("-t"), QStringLiteral("get_tree")});
    if (!ipc.waitForFinished(5000))
        return {};
    return QJsonDocument::fromJson(ipc.readAllStandardOutput()).object();
}

QJsonObject findWindow(const QJsonObject& node)
{
    if (node.value(QStringLiteral("pid")).toInt() == QCoreApplication::applicationPid()
        && node.value(QStringLiteral("name")).toString() == g_title)
        return node;
    for (const char* children : {"nodes", "floating_nodes"}) {
        for (const QJsonValue& child : node.value(QLatin1String(children)).toArray()) {
            const QJsonObject found = findWindow(child.toObject());
            if (!found.isEmpty())
                return found;
        }
    }
    return {};
}

// The window's top-left corner as the compositor has it, or (-1, -1) while it has no such window.
QPoint compositorPosition()
{
    const QJsonObject rect = findWindow(compositorTree()).value(QStringLiteral("rect")).toObject();
    if (rect.isEmpty())
        return QPoint(-1, -1);
    return QPoint(rect.value(QStringLiteral("x")).toInt(), rect.value(QStringLiteral("y")).toInt());
}

QSize outputLayout()
{
    const QJsonObject rect = compositorTree().value(QStringLiteral("rect")).toObject();
    return QSize(rect.value(QStringLiteral("width")).toInt(),
                 rect.value(QStringLiteral("height")).toInt());
}

// Returns once the compositor has handled every request the window's connection has sent, such
// as the move that the bar asks for at a press.
void syncWindowWithCompositor()
{
    auto* display = static_cast<wl_display*>(
        QGuiApplication::platformNativeInterface()->nativeResourceForIntegration("wl_display"));
    QVERIFY(display);
    // A queue of our own, so that Qt's reader and ours never dispatch each other's events.
    wl_event_queue* queue = wl_display_create_queue(display);
    QVERIFY(wl_display_roundtrip_queue(display, queue) >= 0);
    wl_event_queue_destroy(queue);
}

class PressCounter : public QObject {
public:
    int presses = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        // A press soon after the last one on the same spot comes as a double click.
        if (event->type() == QEvent::MouseButtonPress
            || event->type() == QEvent::MouseButtonDblClick)
            ++presses;
        return false;
    }
};

} // namespace

class TestTitleBarWayland : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QGuiApplication::platformName().startsWith(QLatin1String("wayland")),
                 qPrintable(QGuiApplication::platformName()));
        QVERIFY2(g_pointer->isValid(), "the compositor offers no virtual pointer");
        const QSize layout = outputLayout();
        QVERIFY(layout.isValid());
        g_pointer->setLayout(layout);
    }

    void dragMovesTheWindowThroughTheCompositor_data()
    {
        QTest::addColumn<uint>("button"); // Linux input codes
        QTest::addColumn<QPoint>("delta");

        QTest::newRow("left button") << 0x110u << QPoint(120, 70);
        QTest::newRow("right button, left and up") << 0x111u << QPoint(-90, -40);
        QTest::newRow("middle button") << 0x112u << QPoint(35, 5);
    }

    void dragMovesTheWindowThroughTheCompositor()
    {
        QFETCH(uint, button);
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
        const QPoint qtPosition = window.pos();

        // On the title text, clear of the buttons. A new window may still be on its way to where
        // the compositor places it: hover until the bar has the pointer, then hold on to that
        // place.
        QPoint start;
        QPoint grab;
        QTRY_VERIFY(((start = compositorPosition()) != QPoint(-1, -1))
                    && (g_pointer->moveTo(grab = start + QPoint(200, 20)), bar->underMouse()));
        g_pointer->press(button);
        QTRY_COMPARE(counter.presses, 1);
        // The compositor follows the pointer only once it has the bar's move request.
        syncWindowWithCompositor();
        g_pointer->moveTo(grab + delta / 2);
        g_pointer->moveTo(grab + delta);
        g_pointer->release(button);

        QTRY_COMPARE(compositorPosition(), start + delta);
        // The bar moved nothing itself: Qt's idea of the position is where it was.
        QCOMPARE(window.pos(), qtPosition);

        // The compositor kept the release. The window must not think the button still held: the
        // title bar's buttons light up under the pointer again.
        auto* minimise = bar->findChild<QPushButton*>(QStringLiteral("ButtonMin"));
        QVERIFY(minimise);
        g_pointer->moveTo(start + delta + minimise->mapTo(&window, minimise->rect().center()));
        QTRY_VERIFY(minimise->underMouse());
    }
};

int main(int argc, char** argv)
{
    // The seat has its pointer before the application binds it, so the window's connection asks
    // for its own pointer before it maps the window: the first press cannot find it missing.
    VirtualPointer pointer;
    g_pointer = &pointer;
    QApplication application(argc, argv);
    TestTitleBarWayland test;
    return QTest::qExec(&test, argc, argv);
}
#include "TestTitleBarWayland.moc"
