#!/bin/sh
# Boots the kernel test's virtual machine with the USB HID gadget playing the controller, and runs
# the given steps against it in the guest: Windows programs under wine, as an unprivileged user whose
# access to the device comes from the packaged udev rule alone. The host's root is shared read-only
# into the guest (9p), so wine, its libraries and this build's programs are used where they lie.
#
#   run-wine-kernel-test.sh <work dir> <udev rule> <gadget> "<gadget options>" <step>...
#
# A step is a program path and its arguments in one word list; a .exe runs under wine;
# "foreign-hid <lumaro-foreign-hid> <count> <first> [<vendor>]" adds HID devices beside the
# controller. Leaves <work dir>/console.log and <work dir>/results.txt. The VM powers off after
# LUMARO_VM_LIMIT seconds (260).
set -eu

work=$1
rule=$2
gadget=$3
gadget_options=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
rig_dir=$here/../support
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"
vm_make_root "$here/wine-init.sh"

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine) || rig_missing "wine is missing (Debian package wine)"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver) || rig_missing "wineserver is missing (Debian package wine)"

mkdir -p "$work"
work=$(cd "$work" && pwd)
# The prefix is made once on the host: under software emulation wineboot would take minutes. Its
# HID bus gets the hidraw backend, which wine leaves off while its SDL backend is enabled.
prefix=$work/wineprefix
if [ ! -f "$prefix/.lumaro-ready" ]; then
    rm -rf "$prefix"
    (
        rig_wine_env "$prefix"
        "$wine" wineboot -i </dev/null >/dev/null 2>&1
        "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' \
            /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
        "$wineserver" -w
    )
    touch "$prefix/.lumaro-ready"
fi

# The guest's user reads the prefix and the programs where they lie: a folder above them closed to
# other users (a home of mode 700) would leave wine without its own DLLs.
reachable_by_all() { # path
    rig_folder=$1
    while [ "$rig_folder" != / ]; do
        rig_folder=$(dirname "$rig_folder")
        [ -n "$(find "$rig_folder" -maxdepth 0 -perm -o=x)" ] ||
            rig_missing "$rig_folder is closed to other users (mode $(stat -c %a "$rig_folder")); the VM's user \
must reach $1 through it: chmod o+x $rig_folder, or work in another folder"
    done
}
reachable_by_all "$prefix/drive_c"
for step in "$@"; do
    case "${step%% *}" in
        /*) reachable_by_all "${step%% *}" ;;
    esac
done

mkdir -p "$vm_root/rules" "$vm_root/prefix"
cp "$rule" "$vm_root/rules/"
# The guest's user owns a copy of the prefix's registry and a tree of links to the rest, 695 MB
# that it only reads through the share.
cp -a "$prefix/system.reg" "$prefix/user.reg" "$prefix/userdef.reg" "$prefix/.update-timestamp" \
    "$prefix/dosdevices" "$vm_root/prefix/"
cp -rs "$prefix/drive_c" "$vm_root/prefix/"
{
    echo "wine=$wine"
    echo "wineserver=$wineserver"
    echo "gadget=$gadget"
    echo "gadget_options='$gadget_options'"
    echo "wine_settings='$(cat "$rig_dir/wine.env" | tr '\n' ' ')'"
} > "$vm_root/scenario"
extra_modules=
for step in "$@"; do
    echo "$step"
    case "$step" in
        "foreign-hid "*) extra_modules=uhid ;;
    esac
done > "$vm_root/steps"
# Devices that stand for the rest of a PC's HID devices: open to every user, as on Windows.
[ -z "$extra_modules" ] ||
    echo 'KERNEL=="hidraw*", DEVPATH=="/devices/virtual/misc/uhid/*", MODE="0666"' > "$vm_root/rules/70-lumaro-bench-devices.rules"

# 9p and virtio for the share, then the gadget's.
vm_add_modules 9p 9pnet_virtio virtio_pci $vm_usb_modules $extra_modules
limit=${LUMARO_VM_LIMIT:-260}
vm_boot "$work" 1024 "$limit" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap
