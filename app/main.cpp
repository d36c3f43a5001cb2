#include "SingleInstance.h"
#include "Widget.h"

#include <QApplication>
#include <QGuiApplication>

int main(int argc, char* argv[])
{
    // Before the window, whose polling thread opens devices: a second copy only hands over to
    // the first and ends.
    SingleInstance instance;
    if (!instance.isFirst()) {
        instance.askFirstToRaise();
        return 0;
    }
    // The window is laid out in device-independent pixels: on a scaled display Qt scales it, and
    // the unrounded factor keeps 125 % and 150 % at their true size. Both must precede the
    // application object.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication application(argc, argv);
    Widget window;
    instance.raiseOnRequest(window);
    window.show();
    return application.exec();
}
