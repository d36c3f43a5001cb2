#!/bin/sh
# Boots the kernel test's virtual machine with the two-copies scenario (two-copies-init.sh): the
# gadget, two copies of the updater window and strace, each with its shared libraries and Qt's
# offscreen platform plugin.
#
#   run-two-copies.sh <work dir> <qt offscreen plugin> <gadget> <driver> [unguarded]
#
# `unguarded`: the second copy skips the one-copy guard, as every copy did before it existed.
# Leaves <work dir>/console.log and <work dir>/results.txt.
set -eu
work=$1
plugin=$2
here=$(cd "$(dirname "$0")" && pwd)
rig_dir=$here/../support
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"
rig_need strace strace
strace=$(command -v strace)

vm_make_root "$here/two-copies-init.sh"
vm_add_modules $vm_usb_modules
echo "${5:-}" > "$vm_root/second-copy-options"
vm_add_programs "$plugin" "$3" "$4" "$strace"
vm_boot "$work" 512 90
