# The kernel tests' VM, guest side, sourced first by each /init. Progress goes to the console
# (ttyS0); the report goes out in one piece on ttyS1.

/bin/busybox mount -t devtmpfs devtmpfs /dev
exec 0</dev/console 1>/dev/console 2>&1
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys

vm_times=/vm-times
mark() { echo "vm-time $1 $(cut -d' ' -f1 /proc/uptime)" >> $vm_times; }
mark boot

# Powers off after lumaro.limit seconds, first running the given command (what was seen so far).
vm_watchdog() { # [command...]
    limit=$(sed -n 's/.*lumaro\.limit=\([0-9]*\).*/\1/p' /proc/cmdline)
    (sleep "${limit:-90}"; echo "lumaro-vm: watchdog: ${limit:-90} s passed, powering off"; "$@"; poweroff -f) &
}

fail() {
    echo "lumaro-vm: $*"
    dmesg | tail -n 40
    { echo "vm-error $*"; cat $vm_times; } > /dev/ttyS1
    poweroff -f
}

vm_load_modules() {
    for module in $(cat /lib/modules/order); do insmod "/lib/modules/$module.ko" || fail "insmod $module"; done
}

# Waits up to 10 s for the command to succeed.
vm_wait() { # command...
    tries=0
    until "$@"; do
        [ $tries -lt 200 ] || return 1
        sleep 0.05
        tries=$((tries + 1))
    done
}

# Starts the gadget command (stderr to DIR/gadget.err) and waits for its hidraw device.
vm_start_gadget() { # dir command...
    gadget_dir=$1
    shift
    echo "lumaro-vm: starting the gadget"
    "$@" 2> "$gadget_dir/gadget.err" &
    gadget_pid=$!
    vm_wait test -e /dev/hidraw0 || fail "the gadget never became a hidraw device"
}

# Stops the gadget, sends the report (the command's output, then the gadget's lines), powers off.
vm_finish() { # command...
    echo "lumaro-vm: stopping the gadget"
    kill -TERM $gadget_pid
    wait $gadget_pid
    gadget_rc=$?
    mark end
    {
        echo "vm-begin"
        echo "vm-kernel $(uname -r)"
        "$@"
        echo "gadget-rc $gadget_rc"
        cat $gadget_dir/gadget.txt
        sed 's/^/gadget-stderr /' $gadget_dir/gadget.err
        cat $vm_times
        echo "vm-end"
    } > /dev/ttyS1
    echo "lumaro-vm: done"
    poweroff -f
}
