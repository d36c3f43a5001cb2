// The updater window on a HID bus that holds a wireless receiver and a keyboard but no controller:
// what the program shows before a controller is plugged in, for as long as it runs.

#include "VirtualHidAccess.h"
#include "Widget.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    VirtualHidAccess bus;
    bus.addForeignInterface(0x046D, 0xC52B);
    bus.addForeignInterface(0x046D, 0xC31C);
    QApplication application(argc, argv);
    Widget window(bus);
    window.show();
    return application.exec();
}
