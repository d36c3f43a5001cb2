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
rig_dir=$here/../rig
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"
udevadm=$(command -v udevadm) || rig_missing "udevadm is missing (Debian package udev)"

vm_make_root "$here/init.sh"
vm_add_modules $vm_usb_modules
mkdir -p "$vm_root/etc/udev/rules.d"
cp "$rule" "$vm_root/etc/udev/rules.d/"
echo "root:x:0:0::/:/bin/sh" > "$vm_root/etc/passwd"
echo "root:x:0:" > "$vm_root/etc/group"
# Each library keeps its own path, so the loader and Qt find them where they were built to look.
copy_with_path() {
    mkdir -p "$vm_root$(dirname "$1")"
    cp -L "$1" "$vm_root$1"
}
copy_with_path "$plugin"
shift 3
cp "$@" "$udevadm" "$vm_root/bin/"
for file in "$plugin" "$@" "$udevadm"; do
    ldd "$file" | awk '/=> \// { print $3 } /^\t\/.*\(0x/ { print $1 }'
done | sort -u | while read -r library; do
    copy_with_path "$library"
done
vm_boot "$work" 512 120
