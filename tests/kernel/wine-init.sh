#!/bin/busybox sh
# /init of the wine kernel test's virtual machine. The host's root, shared read-only, becomes the
# root of every program run here (chroot), so wine and this build's programs find their libraries
# where they were installed.
. /vm-init.sh
seen_so_far() {
    cat $vm_times /tmp-step*.out 2>/dev/null | grep -v '^write ' | tail -n 40
    tail -n 20 /tmp-step*.err 2>/dev/null
}
vm_watchdog seen_so_far
vm_load_modules
. /scenario

host=/host
mkdir -p $host /share
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000 hostroot $host || fail "mount 9p"
for dir in dev proc sys; do
    mount --bind /$dir $host/$dir
done
# /tmp is written here, but the host's folders in it stay in sight: a checkout or build tree
# beneath it holds the programs and the prefix's links.
mount --bind $host/tmp /share
mount -t tmpfs tmpfs $host/tmp
for entry in /share/*; do
    [ -d "$entry" ] && mkdir $host/tmp/${entry##*/} && mount --bind "$entry" $host/tmp/${entry##*/}
done
vm=$host/tmp/.lumaro-vm
mkdir -p $vm/prefix $vm/home
mount -t tmpfs tmpfs $host/run
mkdir -p $host/dev/gadget
mount -t gadgetfs gadgetfs $host/dev/gadget || fail "mount gadgetfs"
in_host() {
    chroot $host /usr/bin/env -i PATH=/usr/sbin:/usr/bin "$@"
}

# The seat's user, with nothing but what the packaged rule grants. logind is not here to turn its
# uaccess tag into an ACL; this stand-in of the same name gives the device to the seat's user
# instead, and only where that rule put the tag.
seat_uid=1000
mount -t tmpfs tmpfs $host/etc/udev/rules.d
cp /rules/* $host/etc/udev/rules.d/
echo "TAG==\"uaccess\", ENV{MAJOR}!=\"\", OWNER=\"$seat_uid\"" > $host/etc/udev/rules.d/73-seat-late.rules
in_host /lib/systemd/systemd-udevd --daemon || fail "systemd-udevd"
mark mounted

vm_start_gadget $vm chroot $host $gadget /dev/gadget /tmp/.lumaro-vm/gadget.txt $gadget_options
# wine skips for good a node it cannot open: the rule must have acted before wine starts.
seat_owns_node() {
    [ "$(stat -c %u /dev/hidraw0)" = $seat_uid ]
}
vm_wait seat_owns_node
echo "hidraw-access $(stat -c '%u %a' /dev/hidraw0) $(in_host udevadm info -q property -p /sys/class/hidraw/hidraw0 | grep '^TAGS=')" > /tmp-hidraw
mark gadget

chown -R $seat_uid:$seat_uid /prefix
chown $seat_uid:$seat_uid $vm/home
mount --bind /prefix $vm/prefix
# wine hands a Windows program no QT_* variable; WINEQT_* reaches it as QT_*.
as_seat_user() {
    chroot $host /usr/bin/setpriv --reuid=$seat_uid --regid=$seat_uid --clear-groups \
        /usr/bin/env -i PATH=/usr/bin HOME=/tmp/.lumaro-vm/home WINEPREFIX=/tmp/.lumaro-vm/prefix $wine_settings \
        DISPLAY= QT_QPA_PLATFORM=offscreen WINEQT_QPA_PLATFORM=offscreen "$@"
}
# One wineserver for every step; wineboot brings up its services, the HID bus among them.
as_seat_user $wineserver -p </dev/null >/dev/null 2>&1
mark wineserver
as_seat_user $wine wineboot </dev/null >/dev/null 2>&1
mark wine-ready

# More HID devices beside the controller, made by root through uhid and kept until the end;
# returns once udev has opened every new node to all (udevadm settle does nothing in a chroot).
open_hidraw_nodes() {
    stat -c %a /dev/hidraw* 2>/dev/null | grep -c 666
}
add_foreign_hid() { # program count first [vendor]
    open_nodes=$(($(open_hidraw_nodes) + $2))
    chroot $host "$@" &
    all_open() { [ "$(open_hidraw_nodes)" -eq $open_nodes ]; }
    vm_wait all_open || { echo "foreign-hid $(open_hidraw_nodes) open nodes, not $open_nodes"; return 1; }
}

step=0
while read -r program arguments; do
    step=$((step + 1))
    echo "lumaro-vm: step $step: $program"
    # A driver that unplugged the device asks for it back once it has seen it gone.
    (
        until grep -q '^driver-wants-replug' /tmp-step$step.out 2>/dev/null; do sleep 0.2; done
        kill -USR2 $gadget_pid
    ) &
    replugger=$!
    # Run from a copy: a large executable (the static Qt one, 41 MB) mapped straight from the
    # share dies at start-up (an access violation at a null address near its entry); the copy runs.
    case "$program" in
        foreign-hid) add_foreign_hid $arguments ;;
        *.exe) cp $host$program $vm/step.exe; as_seat_user $wine /tmp/.lumaro-vm/step.exe $arguments ;;
        *) as_seat_user $program $arguments ;;
    esac > /tmp-step$step.out 2> /tmp-step$step.err </dev/null
    echo "step-rc $step $?" >> /tmp-step$step.out
    kill $replugger 2>/dev/null
    mark step-$step
done < /steps

report() {
    cat /tmp-hidraw
    for i in $(seq 1 $step); do
        cat /tmp-step$i.out
        sed "s/^/step-stderr $i /" /tmp-step$i.err
    done
}
vm_finish report
