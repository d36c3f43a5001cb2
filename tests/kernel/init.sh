#!/bin/busybox sh
# /init of the kernel test's VM; /scenario names the scenario and the gadget's options:
#   update: the permission probe, udev's view of the installed rule and the updater window;
#   two-copies: one copy about to flash the bootloader and, while it holds still, a second copy
#     under strace to see every file it opens;
#   watch: a bootloader that withholds every reply until the window has watched it.
. /vm-init.sh
read -r scenario gadget_options < /scenario
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen
mount -t tmpfs tmpfs /tmp
mkdir -m 700 /tmp/runtime
vm_watchdog tail -n 8 /tmp/driver.txt /tmp/driver.err /tmp/second.txt /tmp/second.err /tmp/gadget.err
vm_load_modules
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || fail "mount gadgetfs"
vm_start_gadget /tmp lumaro-usb-gadget /dev/gadget /tmp/gadget.txt $gadget_options
: > /tmp/report.txt

# The tags the installed rule gives a device on arrival (no udev daemon runs here), and whether
# the seat rule queues its uaccess builtin. udev 252 prints properties flush left, 257 indented.
udev_tags() {
    udevadm test --action=add "$2" > /tmp/udev.out 2> /tmp/udev.err
    tags=$(sed -n 's/^[[:space:]]*\(TAGS=.*\)/\1/p' /tmp/udev.out | head -n 1)
    seat=no
    grep -q "73-seat-late.rules:[0-9]* RUN 'uaccess'" /tmp/udev.err && seat=yes
    echo "udev $1 ${tags:-TAGS=} seat-access=$seat" >> /tmp/report.txt
}

update() {
    echo "lumaro-vm: permission probe"
    lumaro-permission-probe 1000 >> /tmp/report.txt 2>/tmp/probe.err
    echo "probe-rc $?" >> /tmp/report.txt
    sed 's/^/probe-stderr /' /tmp/probe.err >> /tmp/report.txt
    # Once more with the hidraw node open to all: the USB node is what stops it now.
    chmod 666 /dev/hidraw0
    lumaro-permission-probe 1000 2>&1 > /tmp/probe-usb.out | sed 's/^/usb-probe-stderr /' >> /tmp/report.txt
    sed 's/^/usb-/' /tmp/probe-usb.out >> /tmp/report.txt
    chmod 600 /dev/hidraw0
    udev_tags game-hidraw /sys/class/hidraw/hidraw0
    udev_tags game-usb /sys/bus/usb/devices/1-1
    udev_tags game-usb-interface /sys/bus/usb/devices/1-1:1.0
    udev_tags root-hub /sys/bus/usb/devices/usb1

    echo "lumaro-vm: updater"
    lumaro-kernel-driver > /tmp/driver.txt 2>/tmp/driver.err
    driver_rc=$?
    udev_tags bootloader-hidraw "$(ls -d /sys/class/hidraw/hidraw* | head -n 1)"
    udev_tags bootloader-usb /sys/bus/usb/devices/1-1
}

now_ms() { echo $(($(cut -d' ' -f1 /proc/uptime | tr -d .) * 10)); }
two_copies() {
    echo "lumaro-vm: first copy"
    lumaro-kernel-driver hold=5000 > /tmp/driver.txt 2> /tmp/driver.err &
    first=$!
    vm_wait grep -q '^driver-discovery' /tmp/driver.txt || fail "the first copy found no controller"

    echo "lumaro-vm: second copy"
    second_start=$(now_ms)
    (
        strace -f -qq -e trace=open,openat -o /tmp/second.strace \
            lumaro-kernel-driver idle $(cat /second-copy-options) > /tmp/second.txt 2> /tmp/second.err
        echo "$? $(($(now_ms) - second_start))" > /tmp/second.end
    ) &
    second=$!
    wait $first
    driver_rc=$?
    echo "lumaro-vm: first copy ended"
    # A second copy still running when the first has finished is killed (strace, which would only
    # detach, goes when its tracee has): its exit status says so.
    idle_pid=$(sed -n 's/^driver-idle //p' /tmp/second.txt)
    [ -z "$idle_pid" ] || kill -TERM "$idle_pid" 2> /dev/null
    wait $second
    read -r second_rc second_ms < /tmp/second.end
    {
        echo "second-rc $second_rc"
        echo "second-ms $second_ms"
        sed 's/^/second-out /' /tmp/second.txt
        # Device nodes it opened successfully: hidraw and the USB nodes libusb opens.
        echo "second-device-opens $(grep -E '"/dev/(hidraw|bus/usb)' /tmp/second.strace | grep -vc '= -1')"
        grep -E '"/dev/(hidraw|bus/usb)' /tmp/second.strace | head -n 5 | sed 's/^/second-open /'
    } >> /tmp/report.txt
}

watch() {
    echo "lumaro-vm: updater, watched"
    lumaro-kernel-driver watch > /tmp/driver.txt 2> /tmp/driver.err &
    driver=$!
    # The window watches for 20 s first: longer than vm_wait waits.
    tries=0
    until grep -q '^watch-answer-now' /tmp/driver.txt; do
        [ $tries -lt 1800 ] || fail "the window never finished watching"
        sleep 0.05
        tries=$((tries + 1))
    done
    kill -USR2 $gadget_pid
    wait $driver
    driver_rc=$?
}

case $scenario in
    update) update ;;
    two-copies) two_copies ;;
    watch) watch ;;
    *) fail "no scenario $scenario" ;;
esac
[ $driver_rc -eq 0 ] || dmesg | tail -n 40
report() {
    cat /tmp/report.txt
    echo "driver-rc $driver_rc"
    cat /tmp/driver.txt
    sed 's/^/driver-stderr /' /tmp/driver.err
}
vm_finish report
