// What of the Linux HID access can be checked without a device: finding the USB device behind a
// hidraw node in sysfs, on trees laid out as the kernel lays them out.

#include "HidAccessLinux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// What the location holds before the call; a miss must leave it so.
constexpr int kUntouched = 0xEE;

class TestHidAccessLinux : public QObject {
    Q_OBJECT

private slots:
    void usbLocationOfHidraw_data()
    {
        // hidDevice: the HID device's directory under the root, whose hidraw/hidraw0 is the node;
        // numbered: directories with busnum and devnum ("path=bus,address", "." is the root
        // itself).
        QTest::addColumn<QString>("hidDevice");
        QTest::addColumn<QStringList>("numbered");
        QTest::addColumn<QString>("node");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("bus");
        QTest::addColumn<int>("address");

        const QString dummy = "devices/platform/dummy_hcd.0/usb1/1-1/1-1:1.0/0003:0079:1836.0001";
        const QStringList dummyNumbers = {"devices/platform/dummy_hcd.0/usb1=1,1",
                                          "devices/platform/dummy_hcd.0/usb1/1-1=1,2"};
        QTest::newRow("device, not its root hub")
            << dummy << dummyNumbers << "/dev/hidraw0" << true << 1 << 2;
        QTest::newRow("behind a hub on bus 3")
            << "devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2.4/3-2.4:1.0/0003:0079:18AE.0007"
            << QStringList({"devices/pci0000:00/0000:00:14.0/usb3=3,1",
                            "devices/pci0000:00/0000:00:14.0/usb3/3-2=3,5",
                            "devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2.4=3,17"})
            << "/dev/hidraw0" << true << 3 << 17;
        const QString uhid = "devices/virtual/misc/uhid/0003:0079:1836.0002";
        QTest::newRow("uhid, not on USB")
            << uhid << QStringList() << "/dev/hidraw0" << false << kUntouched << kUntouched;
        QTest::newRow("nothing above the sysfs root counts")
            << uhid << QStringList({".=1,9"}) << "/dev/hidraw0" << false << kUntouched
            << kUntouched;
        for (const char* node : {"/dev/hidraw5", "/dev/sda", "hidraw0"})
            QTest::newRow(node) << dummy << dummyNumbers << node << false << kUntouched
                                << kUntouched;
    }

    void usbLocationOfHidraw()
    {
        QFETCH(QString, hidDevice);
        QFETCH(QStringList, numbered);
        QFETCH(QString, node);
        QFETCH(bool, found);
        QFETCH(int, bus);
        QFETCH(int, address);

        QTemporaryDir sysfs;
        QVERIFY(sysfs.isValid());
        QDir root(sysfs.path());
        QVERIFY(root.mkpath(hidDevice + "/hidraw/hidraw0"));
        QVERIFY(root.mkpath("class/hidraw"));
        // As in sysfs: class/hidraw/hidrawN links to the node's directory, whose "device" links
        // back up to the HID device.
        QVERIFY(QFile::link("../../" + hidDevice + "/hidraw/hidraw0",
                            root.filePath("class/hidraw/hidraw0")));
        QVERIFY(QFile::link("../..", root.filePath(hidDevice + "/hidraw/hidraw0/device")));
        for (const QString& entry : numbered) {
            const QString directory = entry.section('=', 0, 0);
            const QStringList numbers = entry.section('=', 1).split(',');
            QFile busnum(root.filePath(directory + "/busnum"));
            QFile devnum(root.filePath(directory + "/devnum"));
            QVERIFY(busnum.open(QIODevice::WriteOnly) && devnum.open(QIODevice::WriteOnly));
            busnum.write(numbers[0].toLatin1() + "\n");
            devnum.write(numbers[1].toLatin1() + "\n");
        }

        HidAccessLinux::UsbLocation location;
        location.busNumber = kUntouched;
        location.deviceAddress = kUntouched;
        QCOMPARE(HidAccessLinux::usbLocationOfHidraw(sysfs.path().toStdString(), node.toStdString(),
                                                     &location),
                 found);
        QCOMPARE(int(location.busNumber), bus);
        QCOMPARE(int(location.deviceAddress), address);
    }
};

QTEST_GUILESS_MAIN(TestHidAccessLinux)
#include "TestHidAccessLinux.moc"
