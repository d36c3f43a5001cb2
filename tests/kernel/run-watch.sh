#!/bin/sh
# Boots the kernel test's virtual machine with the watch scenario (watch-init.sh): the gadget and
# the updater window, each with its shared libraries and Qt's offscreen platform plugin.
#
#   run-watch.sh <work dir> <qt offscreen plugin> <gadget> <driver>
#
# Leaves <work dir>/console.log and <work dir>/results.txt.
set -eu
work=$1
plugin=$2
here=$(cd "$(dirname "$0")" && pwd)
rig_dir=$here/../support
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"

vm_make_root "$here/watch-init.sh"
vm_add_modules $vm_usb_modules
vm_add_programs "$plugin" "$3" "$4"
vm_boot "$work" 512 150
