#!/bin/sh
# Boots the kernel test's VM with one of init.sh's scenarios, in an initramfs of this build's
# programs with their shared libraries (Qt's offscreen plugin too) and the USB and HID modules.
#
#   run-kernel-test.sh update <work dir> <qt offscreen plugin> <gadget> <driver> <udev rule> <probe>
#   run-kernel-test.sh two-copies <work dir> <qt offscreen plugin> <gadget> <driver> [unguarded]
#   run-kernel-test.sh watch <work dir> <qt offscreen plugin> <gadget> <driver>
#
# `unguarded` lets the second copy skip the one-copy guard. Leaves <work dir>/console.log and
# <work dir>/results.txt.
set -eu
[ $# -ge 5 ] || { echo "usage: run-kernel-test.sh update|two-copies|watch <work dir> ..." >&2; exit 2; }
scenario=$1 work=$2 plugin=$3 gadget=$4 driver=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
rig_dir=$here/../support
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"

vm_make_root "$here/init.sh"
vm_add_modules $vm_usb_modules
case $scenario in
    update)
        udevadm=$(command -v udevadm) || rig_missing "udevadm is missing (Debian package udev)"
        # The release's own rule that turns the uaccess tag into the seat user's access.
        seat_rule=/usr/lib/udev/rules.d/73-seat-late.rules
        [ -f "$seat_rule" ] || rig_missing "$seat_rule is missing (Debian package udev)"
        mkdir -p "$vm_root/etc/udev/rules.d" "$vm_root/usr/lib/udev/rules.d"
        cp "$1" "$vm_root/etc/udev/rules.d/"
        cp "$seat_rule" "$vm_root/usr/lib/udev/rules.d/"
        echo "root:x:0:0::/:/bin/sh" > "$vm_root/etc/passwd"
        echo "root:x:0:" > "$vm_root/etc/group"
        set -- "$2" "$udevadm"
        gadget_options= limit=120 ;;
    two-copies)
        rig_need strace strace
        echo "${1:-}" > "$vm_root/second-copy-options"
        set -- "$(command -v strace)"
        gadget_options=bootloader limit=90 ;;
    watch)
        set --
        gadget_options="bootloader up-to-date muted" limit=150 ;;
    *) echo "run-kernel-test.sh: no scenario $scenario" >&2; exit 2 ;;
esac
echo "$scenario $gadget_options" > "$vm_root/scenario"
vm_add_programs "$plugin" "$gadget" "$driver" "$@"
vm_boot "$work" 512 "$limit"
