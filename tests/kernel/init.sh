#!/bin/busybox sh
# /init of the kernel test's virtual machine: the permission probe, udev's view of the installed
# rule and the updater window, all against the gadget playing the controller.
. /vm-init.sh
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime
mount -t tmpfs tmpfs /tmp
mkdir -m 700 /tmp/runtime
vm_watchdog
vm_load_modules
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || fail "mount gadgetfs"
vm_start_gadget /tmp lumaro-usb-gadget /dev/gadget /tmp/gadget.txt

echo "lumaro-vm: permission probe"
lumaro-permission-probe 1000 > /tmp/probe.txt 2>/tmp/probe.err
echo "probe-rc $?" >> /tmp/probe.txt
# Once more with the hidraw node open to all: the USB node is what stops it now.
chmod 666 /dev/hidraw0
lumaro-permission-probe 1000 2>&1 > /tmp/probe-usb.out | sed 's/^/usb-probe-stderr /' > /tmp/probe-usb.err
sed 's/^/usb-/' /tmp/probe-usb.out >> /tmp/probe.txt
cat /tmp/probe-usb.err >> /tmp/probe.txt
chmod 600 /dev/hidraw0

# The tags the installed rule gives a device, as udev would on its arrival (no daemon runs here),
# and whether the release's seat rule then queues its uaccess builtin, which gives the user at the
# seat the node. udev 252 prints the properties flush left, 257 indented under "Properties:".
udev_tags() {
    udevadm test --action=add "$2" > /tmp/udev.out 2> /tmp/udev.err
    tags=$(sed -n 's/^[[:space:]]*\(TAGS=.*\)/\1/p' /tmp/udev.out | head -n 1)
    seat=no
    grep -q "73-seat-late.rules:[0-9]* RUN 'uaccess'" /tmp/udev.err && seat=yes
    echo "udev $1 ${tags:-TAGS=} seat-access=$seat" >> /tmp/udev.txt
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

report() {
    cat /tmp/probe.txt
    cat /tmp/udev.txt
    sed 's/^/probe-stderr /' /tmp/probe.err
    echo "driver-rc $driver_rc"
    cat /tmp/driver.txt
    sed 's/^/driver-stderr /' /tmp/driver.err
}
vm_finish report
