#!/bin/busybox sh
# /init of the watch scenario: the gadget in its bootloader with the embedded firmware and every reply
# withheld, and the updater window left to its polling thread beside it. The device answers again
# once the window says it has watched long enough.
. /vm-init.sh
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen
mount -t tmpfs tmpfs /tmp
mkdir -m 700 /tmp/runtime
vm_watchdog tail -n 8 /tmp/driver.txt /tmp/driver.err /tmp/gadget.err
vm_load_modules
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || fail "mount gadgetfs"
vm_start_gadget /tmp lumaro-usb-gadget /dev/gadget /tmp/gadget.txt bootloader up-to-date muted

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

report() {
    echo "driver-rc $driver_rc"
    cat /tmp/driver.txt
    sed 's/^/driver-stderr /' /tmp/driver.err
}
vm_finish report
