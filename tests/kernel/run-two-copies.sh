#!/bin/sh
# Boots the kernel test's virtual machine with the two-copies scenario (two-copies-init.sh): the
# gadget, two copies of the updater window and strace, each with its shared libraries and Qt's
# offscreen platform plugin.
#
#   run-two-copies.sh <work dir> <qt offscreen plugin> <gadget> <driver>
#
# Leaves <work dir>/console.log and <work dir>/results.txt; prints the figures.
set -eu
work=$1
plugin=$2
here=$(cd "$(dirname "$0")" && pwd)
rig_dir=$here/../rig
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"
rig_need strace strace
strace=$(command -v strace)

vm_make_root "$here/two-copies-init.sh"
vm_add_modules $vm_usb_modules
copy_with_path() {
    mkdir -p "$vm_root$(dirname "$1")"
    cp -L "$1" "$vm_root$1"
}
copy_with_path "$plugin"
shift 2
cp "$@" "$strace" "$vm_root/bin/"
for file in "$plugin" "$@" "$strace"; do
    ldd "$file" | awk '/=> \// { print $3 } /^\t\/.*\(0x/ { print $1 }'
done | sort -u | while read -r library; do
    copy_with_path "$library"
done
vm_boot "$work" 512 90
