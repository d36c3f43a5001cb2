#include "BaseWindow.h"
#include "CustomTitle.h"
#include "BusRig.h"

#include <QMetaMethod>
#include <QtTest>

// What code outside the window and its frame relies on, pinned once so that a change inside them
// cannot move it unnoticed:
// - Object names. The window puts the bar's "ButtonMin" and "ButtonClose" into its keyboard order
//   and names them for screen readers, telling the icon from "TitleContent"; the form binds
//   "UpdateBtn" to on_UpdateBtn_clicked by name; the rigs, drivers, benchmarks and the fuzzer find
//   the form's widgets by name, and a sheet loaded with loadStyleSheet can reach them only by it.
//   A look-up takes the first match, so each name belongs to one object.
// - Class names, signatures and the methods' order. A style sheet selects a class by its name;
//   connections are made by signature strings that Qt resolves only when they are made (a
//   misspelt one warns and connects nothing); the benchmarks invoke the discovery slot by name;
//   the order is the methods' indexes, kept as every release has had them.
// - The window title "Widget", by which the display rig finds the program's window.
// - The style sheets, which name the skins by their paths in the resource bundle; the display rig
//   reads the skins off the screen.

Q_DECLARE_METATYPE(const QMetaObject*)

class TestFixedInterface : public QObject {
    Q_OBJECT

private slots:
    // Each row is named after the class or object that it pins.
    void classes_data()
    {
        QTest::addColumn<const QMetaObject*>("meta");
        QTest::addColumn<const QMetaObject*>("base");
        QTest::addColumn<QStringList>("methods"); // the class's own, in index order

        QTest::newRow("Widget") << &Widget::staticMetaObject << &BaseWindow::staticMetaObject
                                << QStringList{"private slot void on_UpdateBtn_clicked()",
                                               "public slot void onButtonCloseClicked()",
                                               "public slot bool _Open_Update_device()",
                                               "public slot void _DownLoad_Firmware_Data(const "
                                               "unsigned char*)",
                                               "public slot void _Find_Device()"};
        QTest::newRow("BaseWindow") << &BaseWindow::staticMetaObject << &QWidget::staticMetaObject
                                    << QStringList{"private slot void onButtonMinClicked()",
                                                   "private slot void onButtonRestoreClicked()",
                                                   "private slot void onButtonMaxClicked()",
                                                   "private slot void onButtonCloseClicked()"};
        QTest::newRow("CustomTitle") << &CustomTitle::staticMetaObject << &QWidget::staticMetaObject
                                     << QStringList{"public signal void signalButtonMinClicked()",
                                                    "public signal void signalButtonCloseClicked()",
                                                    "private slot void onButtonMinClicked()",
                                                    "private slot void onButtonCloseClicked()",
                                                    "private slot void onRollTitle()"};
    }

    void classes()
    {
        QFETCH(const QMetaObject*, meta);
        QFETCH(const QMetaObject*, base);
        QFETCH(QStringList, methods);

        QCOMPARE(meta->className(), QTest::currentDataTag());
        QCOMPARE(meta->superClass(), base);
        QCOMPARE(meta->methodOffset(), base->methodCount());
        // No property, enumerator or class information of their own.
        QCOMPARE(meta->propertyCount(), base->propertyCount());
        QCOMPARE(meta->enumeratorCount(), base->enumeratorCount());
        QCOMPARE(meta->classInfoCount(), 0);

        const char* const access[] = {"private", "protected", "public"};
        const char* const kind[] = {"method", "signal", "slot", "constructor"};
        QStringList declared;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            const QByteArray signature = method.methodSignature();
            declared << QStringLiteral("%1 %2 %3 %4")
                            .arg(access[method.access()], kind[method.methodType()],
                                 method.typeName(), signature);
            // What a connection by this signature binds, a same-named slot of a base class aside.
            QCOMPARE(method.methodType() == QMetaMethod::Signal ? meta->indexOfSignal(signature)
                                                                : meta->indexOfSlot(signature),
                     i);
        }
        QCOMPARE(declared, methods);
    }

    void objects_data()
    {
        QTest::addColumn<QString>("className");
        QTest::addColumn<QString>("parent"); // empty: a window of its own
        QTest::addColumn<int>("sheetLength");
        QTest::addColumn<QString>("sheet");

        const QString skin
            = QStringLiteral("QPushButton{\n\tborder-image: url(:/image/res/%1.png);\n}\n"
                             "QPushButton:hover{\n\tborder-image: url(:/image/res/%2.png);\n}\n"
                             "QPushButton:pressed{\n\tborder-image: url(:/image/res/%3.png);\n}");
        // Written with tabs to keep it short; the sheet indents by eight spaces.
        const QString progress
            = QStringLiteral("QProgressBar{\n\tborder: 3px solid rgb(0,153,188);\n"
                             "\ttext-align: center;\n\tbackground: rgb(255, 255, 255);\n"
                             "}\nQProgressBar::chunk {\n\tbackground: rgb(0, 105, 130);\n}")
                  .replace(QLatin1Char('\t'), QString(8, QLatin1Char(' ')));
        // One line of source text: 37 spaces between its pieces, 36 after the second rule.
        const QString w(37, QLatin1Char(' '));
        const QString n(36, QLatin1Char(' '));
        const QString titleButton
            = "QPushButton {" + w + "background-color:rgb(0, 153, 188);" + w + "border-radius: 5px;"
            + w + "color: rgb(255, 255, 255);" + w + "}" + w + "QPushButton:hover {" + w
            + "background-color: rgb(0,105,130);" + w + "}" + n + "QPushButton:pressed{" + n
            + "background-color: rgb(0,200,230);" + n + "}";

        const QString window = QStringLiteral("Widget");
        const QString bar = QStringLiteral("CustomTitle");
        QTest::newRow("Widget") << window << QString() << 0 << QString();
        QTest::newRow("UpdateBtn")
            << "QPushButton" << window << 216
            << skin.arg("Update_Normal_1", "Update_Focous_1", "Update_Press_1");
        QTest::newRow("m_update_progress") << "QProgressBar" << window << 187 << progress;
        QTest::newRow("Finish") << "QPushButton" << window << 210
                                << skin.arg("finish_normal", "finish_focous", "finish_press");
        QTest::newRow("CustomTitle") << bar << window << 0 << QString();
        QTest::newRow("TitleContent") << "QLabel" << bar << 0 << QString();
        QTest::newRow("ButtonMin") << "QPushButton" << bar << 567 << titleButton;
        QTest::newRow("ButtonClose") << "QPushButton" << bar << 567 << titleButton;
    }

    void objects()
    {
        QFETCH(QString, className);
        QFETCH(QString, parent);
        QFETCH(int, sheetLength);
        QFETCH(QString, sheet);

        const QString name = QTest::currentDataTag();
        Widget& window = m_rig.window();
        const QList<QWidget*> children = window.findChildren<QWidget*>(name);
        QCOMPARE(children.size(), parent.isEmpty() ? 0 : 1);
        QWidget* object = parent.isEmpty() ? &window : children.first();
        QCOMPARE(object->objectName(), name);
        QCOMPARE(QString(object->metaObject()->className()), className);
        QCOMPARE(object->parentWidget() ? object->parentWidget()->objectName() : QString(), parent);
        QCOMPARE(object->styleSheet().size(), sheetLength);
        QCOMPARE(object->styleSheet(), sheet);
    }

    void windowTitle() { QCOMPARE(m_rig.window().windowTitle(), QStringLiteral("Widget")); }

private:
    BusRig<> m_rig;
};

QTEST_MAIN(TestFixedInterface)
#include "TestFixedInterface.moc"
