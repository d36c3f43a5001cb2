#include "Widget.h"

#include <QApplication>
#include <QGuiApplication>

int main(int argc, char* argv[])
{
    // The window is laid out in device-independent pixels: on a scaled display Qt scales it, and
    // the unrounded factor keeps 125 % and 150 % at their true size. Both must precede the
    // application object.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication application(argc, argv);
    Widget window;
    window.show();
    return application.exec();
}
