#include "TestSupport.h"
#include "BusRig.h"

#include <QAccessible>
#include <QApplication>
#include <QtTest>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <vector>

namespace {

// An event as a screen reader hears it: the text or value it announces, read when it comes.
struct Heard {
    QObject* object;
    QAccessible::Event type;
    QString text;
};

std::vector<Heard> g_heard;
// Every event of any kind, as "type on object".
QStringList g_events;

void hear(QAccessibleEvent* event)
{
    g_events << QStringLiteral("%1 on %2").arg(event->type()).arg(event->object()->objectName());
    QAccessibleInterface* iface = event->accessibleInterface();
    if (event->type() == QAccessible::DescriptionChanged)
        g_heard.push_back({event->object(), event->type(), iface->text(QAccessible::Description)});
    else if (event->type() == QAccessible::ValueChanged)
        g_heard.push_back({event->object(), event->type(),
                           static_cast<QAccessibleValueChangeEvent*>(event)->value().toString()});
}

QStringList heard(QObject* object, QAccessible::Event type)
{
    QStringList texts;
    for (const Heard& event : g_heard) {
        if (event.object == object && event.type == type)
            texts << event.text;
    }
    return texts;
}

QAccessibleInterface* interfaceOf(QObject* object)
{
    return QAccessible::queryAccessibleInterface(object);
}

QString description(QObject* object)
{
    return interfaceOf(object)->text(QAccessible::Description);
}

const QString kNoController
    = QStringLiteral("No controller found. Connect the QR5 Lumaro with its USB cable.");
const QString kOffered116 = "Controller in update mode with firmware 1.16. Update to firmware "
                          + releaseVersion() + " offered.";
const QString kUpdating
    = QStringLiteral("Updating the controller to firmware %1. Keep it connected.")
          .arg(releaseVersion());
const QString kFinished
    = QStringLiteral("Update finished: firmware %1 written and verified.").arg(releaseVersion());
const QString kWritten = QStringLiteral("The controller now has firmware %1, written and verified.")
                             .arg(releaseVersion());

// What a person or a screen reader can tell of the window: each widget's visibility, focus,
// accessible name and description, and the bar's value.
QStringList shownState(QWidget& window)
{
    QStringList state;
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets.prepend(&window);
    for (QWidget* widget : widgets)
        state << QStringLiteral("%1 %2 %3 %4 [%5]")
                     .arg(widget->objectName())
                     .arg(widget->isVisible())
                     .arg(widget->hasFocus())
                     .arg(widget->accessibleName(), widget->accessibleDescription());
    state << QString::number(window.findChild<QProgressBar*>()->value());
    return state;
}

class FocusCounter : public QObject {
public:
    int changes = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        changes += event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut;
        return false;
    }
};

} // namespace

// What the window tells assistive technology, through the interface that Qt's platform bridges
// (AT-SPI on Linux, UI Automation on Windows) serve.
class TestAccessibility : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Qt raises no accessibility event until a bridge reports a client (an AT-SPI bus with a
        // screen reader, a UI Automation query). The offscreen platform has none; this stands in
        // for it.
        QPlatformAccessibility* platform
            = QGuiApplicationPrivate::platformIntegration()->accessibility();
        QVERIFY(platform);
        platform->setActive(true);
        QVERIFY(QAccessible::isActive());
    }

    void init()
    {
        g_heard.clear();
        g_events.clear();
        QAccessible::installUpdateHandler(hear);
    }

    void cleanup() { QAccessible::installUpdateHandler(nullptr); }

    void everyControlIsNamed()
    {
        struct Texts {
            QAccessible::Role role;
            QString name;
            QString description;
        };
        const QString title = "QR5 Lumaro " + releaseVersion();
        // By object name; the icon has none.
        QMap<QString, Texts> expected{
            {"Widget", {QAccessible::Window, title, kNoController}},
            {"", {QAccessible::Graphic, "QR5 Lumaro", ""}},
            {"TitleContent", {QAccessible::StaticText, title, ""}},
            {"ButtonMin", {QAccessible::Button, "Minimise", "Minimises the window."}},
            {"ButtonClose", {QAccessible::Button, "Close", "Closes the updater."}},
            {"UpdateBtn",
             {QAccessible::Button, "Update",
              "Writes firmware " + releaseVersion() + " to the controller."}},
            {"m_update_progress",
             {QAccessible::ProgressBar, "Update progress", "Firmware pages written and verified."}},
            {"Finish",
             {QAccessible::Button, "Up to date",
              "The controller has firmware " + releaseVersion() + "."}},
        };
        BusRig rig;
        // The tree as a screen reader walks it, at start-up and with the controller found; only the
        // title bar, a plain grouping, goes unnamed.
        for (bool found : {false, true}) {
            if (found) {
                rig.addBootloader(0x116);
                QVERIFY(rig.pass());
                expected["Widget"].description = kOffered116;
            }
            QStringList named;
            std::vector<QAccessibleInterface*> pending{interfaceOf(&rig.window())};
            while (!pending.empty()) {
                QAccessibleInterface* iface = pending.back();
                pending.pop_back();
                for (int i = 0; i < iface->childCount(); ++i)
                    pending.push_back(iface->child(i));
                if (iface->role() == QAccessible::Client)
                    continue;
                const QString object = iface->object()->objectName();
                QVERIFY2(expected.contains(object), iface->object()->metaObject()->className());
                QCOMPARE(iface->role(), expected[object].role);
                QCOMPARE(iface->text(QAccessible::Name), expected[object].name);
                QCOMPARE(iface->text(QAccessible::Description), expected[object].description);
                named << object;
            }
            named.sort();
            QCOMPARE(named, expected.keys());
        }
        // A sighted user's title bar keeps its tooltips.
        QCOMPARE(rig.window().findChild<QWidget*>("ButtonClose")->toolTip(),
                 QStringLiteral("close"));
    }

    void anUpdateIsHeardToTheEnd()
    {
        BusRig rig;
        Widget& window = rig.window();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        rig.pass();
        g_heard.clear();
        // Found, the controller is announced once; unplugged, its absence is, once.
        VirtualController& controller = rig.addBootloader(0x116);
        QVERIFY(rig.pass());
        QCOMPARE(heard(&window, QAccessible::DescriptionChanged), QStringList({kOffered116}));
        g_heard.clear();
        rig.bus.setPlugged(controller, false);
        rig.pass();
        rig.pass();
        QCOMPARE(heard(&window, QAccessible::DescriptionChanged), QStringList({kNoController}));
        rig.bus.setPlugged(controller, true);
        QVERIFY(rig.pass());
        g_heard.clear();

        // What a screen reader's "press" does (AT-SPI's DoAction, UI Automation's Invoke).
        QAccessibleActionInterface* actions = interfaceOf(rig.updateButton())->actionInterface();
        QVERIFY(actions);
        QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
        actions->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(rig.updateThreadCount(), 1);
        rig.deliverUpdateSignals();

        // The last of each is what the window and the indicator read once the run is over.
        QCOMPARE(heard(&window, QAccessible::DescriptionChanged),
                 QStringList({kUpdating, kFinished}));
        QCOMPARE(heard(rig.finish(), QAccessible::DescriptionChanged), QStringList({kWritten}));
        // Page by page to the bar's maximum: each page verified after the first (the closing page
        // last), then the whole.
        const QStringList values = heard(rig.progress(), QAccessible::ValueChanged);
        QCOMPARE(values.size(), 60);
        for (int i = 1; i < values.size(); ++i)
            QVERIFY(values[i - 1].toInt() < values[i].toInt());
        QCOMPARE(values.last().toInt(), rig.progress()->maximum());
        QAccessibleValueInterface* value = interfaceOf(rig.progress())->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->currentValue().toInt(), 62);
        QCOMPARE(value->maximumValue().toInt(), 62);
    }

    void restingStatesAreReadAndPassesChangeNothing_data()
    {
        QTest::addColumn<int>("installed");
        QTest::addColumn<int>("flashStopsAtPage");
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("finish");
        const int none = -1, gameMode = -2, noFlash = -1, allPages = 61;
        const QString hasLatest = "The controller has firmware " + releaseVersion() + ".";
        const QString found = QStringLiteral("Controller in update mode with ");
        const QString offered = " Update to firmware " + releaseVersion() + " offered.";
        const QString current = QStringLiteral(" It is up to date.");
        QTest::newRow("no controller") << none << noFlash << kNoController << hasLatest;
        QTest::newRow("game mode, switch not taken")
            << gameMode << noFlash << kNoController << hasLatest;
        QTest::newRow("1.16 offered") << 0x116 << noFlash << kOffered116 << hasLatest;
        QTest::newRow("blank offered")
            << 0xFFFF << noFlash << found + "no firmware." + offered << hasLatest;
        QTest::newRow("the release's own current")
            << int(EMBEDDED_FIRMWARE_VERSION) << noFlash
            << found + "firmware " + releaseVersion() + "." + current << hasLatest;
        QTest::newRow("1.2a current")
            << 0x12A << noFlash << found + "firmware 1.2a." + current << hasLatest;
        QTest::newRow("finished") << 0x116 << allPages << kFinished << kWritten;
        // The run leaves the controller blank.
        QTest::newRow("stopped short")
            << 0x116 << 17 << found + "no firmware." + offered << hasLatest;
    }

    // Every state the window can rest in, with the keyboard focus on the first button of the order.
    // Read right after a run, a finished window is proven by anUpdateIsHeardToTheEnd.
    void restingStatesAreReadAndPassesChangeNothing()
    {
        QFETCH(int, installed);
        QFETCH(int, flashStopsAtPage);
        QFETCH(QString, window);
        QFETCH(QString, finish);
        BusRig rig;
        Widget& shown = rig.window();
        if (installed == -2)
            rig.bus.addForeignInterface(CONTROLLER_VID, PID_NORMAL_MODE);
        else if (installed >= 0)
            rig.addBootloader(static_cast<std::uint16_t>(installed))
                .setWrongChecksumPage(flashStopsAtPage < 61 ? flashStopsAtPage : -1);
        shown.show();
        shown.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&shown));
        rig.pass();
        if (flashStopsAtPage >= 0) {
            rig.clickUpdateAndFlash();
            QCOMPARE(shown.updateFinished(), flashStopsAtPage == 61);
            rig.pass();
        }
        QCOMPARE(description(&shown), window);
        // The indicator's picture says "Up to date" either way.
        QCOMPARE(interfaceOf(rig.finish())->text(QAccessible::Name), QStringLiteral("Up to date"));
        QCOMPARE(description(rig.finish()), finish);
        // The state holds while the controller stays: the window reads the same after the next
        // pass.
        rig.pass();
        QCOMPARE(description(&shown), window);

        QTest::keyClick(&shown, Qt::Key_Tab);
        QWidget* focused = QApplication::focusWidget();
        QVERIFY(focused && focused != &shown);

        FocusCounter focus;
        qApp->installEventFilter(&focus);
        g_events.clear();
        const QStringList before = shownState(shown);
        for (int pass = 0; pass < 5; ++pass)
            rig.pass();
        qApp->removeEventFilter(&focus);
        qInfo("in 5 passes: %d accessibility events, %d focus changes", int(g_events.size()),
              focus.changes);
        QCOMPARE(g_events, QStringList());
        QCOMPARE(focus.changes, 0);
        QCOMPARE(QApplication::focusWidget(), focused);
        QCOMPARE(shownState(shown), before);
    }
};

QTEST_MAIN(TestAccessibility)
#include "TestAccessibility.moc"
