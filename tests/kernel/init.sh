#!/bin/busybox sh
# /init of the kernel test's virtual machine. The console (ttyS0) gets progress and diagnostics;
# the results go out, whole and in one piece, on the second serial port (ttyS1).

/bin/busybox mount -t devtmpfs devtmpfs /dev
exec 0</dev/console 1>/dev/console 2>&1
/bin/busybox --install -s /bin
export PATH=/bin HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp
mkdir -m 700 /tmp/runtime

limit=90
for word in $(cat /proc/cmdline); do
    case "$word" in lumaro.limit=*) limit=${word#lumaro.limit=} ;; esac
done
(sleep "$limit"; echo "lumaro-vm: watchdog: $limit s passed, powering off"; poweroff -f) &

fail() {
    echo "lumaro-vm: $*"
    dmesg | tail -n 40
    echo "vm-error $*" > /dev/ttyS1
    poweroff -f
}

for module in usb-common usbcore udc-core dummy_hcd gadgetfs hid hid-generic usbhid; do
    insmod "/lib/modules/$module.ko" || fail "insmod $module"
done
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || fail "mount gadgetfs"

echo "lumaro-vm: starting the gadget"
lumaro-usb-gadget /dev/gadget /tmp/gadget.txt 2>/tmp/gadget.err &
gadget=$!

tries=0
while [ ! -e /dev/hidraw0 ] && [ $tries -lt 200 ]; do
    sleep 0.05
    tries=$((tries + 1))
done
[ -e /dev/hidraw0 ] || fail "the gadget never became a hidraw device"

echo "lumaro-vm: permission probe"
lumaro-permission-probe 1000 > /tmp/probe.txt 2>/tmp/probe.err
echo "probe-rc $?" >> /tmp/probe.txt
# Once more with the hidraw node open to all: the USB node is what stops it now.
chmod 666 /dev/hidraw0
lumaro-permission-probe 1000 2>&1 > /tmp/probe-usb.out | sed 's/^/usb-probe-stderr /' > /tmp/probe-usb.err
sed 's/^/usb-/' /tmp/probe-usb.out >> /tmp/probe.txt
cat /tmp/probe-usb.err >> /tmp/probe.txt
chmod 600 /dev/hidraw0

# The tags the installed rule gives a device, as udev would on its arrival (no daemon runs here).
udev_tags() {
    tags=$(udevadm test --action=add "$2" 2>/dev/null | grep '^TAGS=')
    echo "udev $1 ${tags:-TAGS=}" >> /tmp/udev.txt
}
udev_tags game-hidraw /sys/class/hidraw/hidraw0
udev_tags game-usb /sys/bus/usb/devices/1-1
udev_tags game-usb-interface /sys/bus/usb/devices/1-1:1.0
udev_tags root-hub /sys/bus/usb/devices/usb1

echo "lumaro-vm: updater"
QT_QPA_PLATFORM=offscreen lumaro-kernel-driver > /tmp/driver.txt 2>/tmp/driver.err
driver_rc=$?
[ $driver_rc -eq 0 ] || dmesg | tail -n 40

udev_tags bootloader-hidraw "$(ls -d /sys/class/hidraw/hidraw* | head -n 1)"
udev_tags bootloader-usb /sys/bus/usb/devices/1-1

echo "lumaro-vm: stopping the gadget"
kill -TERM $gadget
wait $gadget
gadget_rc=$?

{
    echo "vm-begin"
    echo "vm-kernel $(uname -r)"
    cat /tmp/probe.txt
    cat /tmp/udev.txt
    sed 's/^/probe-stderr /' /tmp/probe.err
    echo "driver-rc $driver_rc"
    cat /tmp/driver.txt
    sed 's/^/driver-stderr /' /tmp/driver.err
    echo "gadget-rc $gadget_rc"
    cat /tmp/gadget.txt
    sed 's/^/gadget-stderr /' /tmp/gadget.err
    echo "vm-end"
} > /dev/ttyS1
echo "lumaro-vm: done"
poweroff -f
