#!/bin/sh
# Boots the kernel test's virtual machine with an initramfs made from this build's programs, each
# with every shared library it loads (and Qt's offscreen platform plugin with its own), the USB
# and HID modules, the udev rule under test and init.sh as /init.
#
#   run-kernel-test.sh <work dir> <qt offscreen plugin> <udev rule> <gadget> <driver> <probe>
#
# Leaves <work dir>/console.log (the VM's console) and <work dir>/results.txt (its report).
set -eu
work=$1
plugin=$2
rule=$3
here=$(cd "$(dirname "$0")" && pwd)
rig_dir=$here/../support
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"
udevadm=$(command -v udevadm) || rig_missing "udevadm is missing (Debian package udev)"
# The release's own rule that turns the uaccess tag into the seat user's access.
seat_rule=/usr/lib/udev/rules.d/73-seat-late.rules
[ -f "$seat_rule" ] || rig_missing "$seat_rule is missing (Debian package udev)"

vm_make_root "$here/init.sh"
vm_add_modules $vm_usb_modules
mkdir -p "$vm_root/etc/udev/rules.d"
cp "$rule" "$vm_root/etc/udev/rules.d/"
mkdir -p "$vm_root/usr/lib/udev/rules.d"
cp "$seat_rule" "$vm_root/usr/lib/udev/rules.d/"
echo "root:x:0:0::/:/bin/sh" > "$vm_root/etc/passwd"
echo "root:x:0:" > "$vm_root/etc/group"
shift 3
vm_add_programs "$plugin" "$@" "$udevadm"
vm_boot "$work" 512 120
