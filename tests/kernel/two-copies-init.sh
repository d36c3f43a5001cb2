#!/bin/busybox sh
# /init of the two-copies scenario: the gadget in its bootloader, one copy of the updater window
# that will flash it, and while that copy holds still a second copy, started as a person would
# start the program again, under strace to see every file it opens.
. /vm-init.sh
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime QT_QPA_PLATFORM=offscreen
mount -t tmpfs tmpfs /tmp
mkdir -m 700 /tmp/runtime
vm_watchdog tail -n 8 /tmp/driver.txt /tmp/driver.err /tmp/second.txt /tmp/second.err /tmp/gadget.err
vm_load_modules
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || fail "mount gadgetfs"
vm_start_gadget /tmp lumaro-usb-gadget /dev/gadget /tmp/gadget.txt bootloader

now_ms() { echo $(($(cut -d' ' -f1 /proc/uptime | tr -d .) * 10)); }

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

report() {
    echo "driver-rc $driver_rc"
    cat /tmp/driver.txt
    sed 's/^/driver-stderr /' /tmp/driver.err
    echo "second-rc $second_rc"
    echo "second-ms $second_ms"
    sed 's/^/second-out /' /tmp/second.txt
    # Device nodes it opened successfully: hidraw and the USB nodes libusb opens.
    echo "second-device-opens $(grep -E '"/dev/(hidraw|bus/usb)' /tmp/second.strace | grep -vc '= -1')"
    grep -E '"/dev/(hidraw|bus/usb)' /tmp/second.strace | head -n 5 | sed 's/^/second-open /'
}
vm_finish report
