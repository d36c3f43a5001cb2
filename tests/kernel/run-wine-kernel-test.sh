#!/bin/sh
# Boots Debian's kernel under qemu with the USB HID gadget playing the controller, and runs the
# given steps against it in the guest: Windows programs under wine, as an unprivileged user whose
# access to the device comes from the packaged udev rule alone. The host's root is shared read-only
# into the guest (9p), so wine, its libraries and this build's programs are used where they lie.
#
#   run-wine-kernel-test.sh <work dir> <udev rule> <gadget> "<gadget options>" <step>...
#
# A step is a program path and its arguments in one word list; a .exe runs under wine. Leaves
# <work dir>/console.log and <work dir>/results.txt. The VM powers off after LUMARO_VM_LIMIT
# seconds (260).
set -eu

work=$1
rule=$2
gadget=$3
gadget_options=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
kernel=$(sh "$here/find-gadget-kernel.sh") || exit 1

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine) || { echo "run-wine-kernel-test: wine missing" >&2; exit 1; }
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=$(command -v wineserver) || {
    echo "run-wine-kernel-test: wineserver missing" >&2
    exit 1
}

mkdir -p "$work"
work=$(cd "$work" && pwd)
rm -f "$work/console.log" "$work/results.txt"

# The prefix is made once on the host: under software emulation wineboot would take minutes. Its
# HID bus gets the hidraw backend, which wine leaves off while its SDL backend is enabled.
prefix=$work/wineprefix
if [ ! -f "$prefix/.lumaro-ready" ]; then
    rm -rf "$prefix"
    export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    "$wine" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' \
        /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
    "$wineserver" -w
    touch "$prefix/.lumaro-ready"
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/lib/modules" "$root/rules" \
    "$root/prefix"
cp /bin/busybox "$root/bin/busybox"
cp "$here/wine-init.sh" "$root/init"
chmod 755 "$root/init"
cp "$rule" "$root/rules/"
# The guest's user owns a copy of the prefix's registry and a tree of links to the rest, 695 MB
# that it only reads through the share.
cp -a "$prefix/system.reg" "$prefix/user.reg" "$prefix/userdef.reg" "$prefix/.update-timestamp" \
    "$prefix/dosdevices" "$root/prefix/"
cp -rs "$prefix/drive_c" "$root/prefix/"
{
    echo "wine=$wine"
    echo "wineserver=$wineserver"
    echo "gadget=$gadget"
    echo "gadget_options='$gadget_options'"
} > "$root/scenario"
for step in "$@"; do
    echo "$step"
done > "$root/steps"

# 9p and virtio for the share, then the USB and HID stack of the gadget, in loading order.
modules="netfs fscache 9pnet 9p virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev
    virtio_pci 9pnet_virtio usb-common usbcore udc-core dummy_hcd gadgetfs hid hid-generic usbhid"
sh "$here/copy-modules.sh" "$kernel" "$root/lib/modules" $modules
echo $modules > "$root/lib/modules/order"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.cpio.gz"

echo "run-wine-kernel-test: kernel $kernel"
status=0
limit=${LUMARO_VM_LIMIT:-260}
timeout -k 5 $((limit + 20)) qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -no-reboot -nic none \
    -display none -monitor none -serial "file:$work/console.log" -serial "file:$work/results.txt" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -kernel "/boot/vmlinuz-$kernel" -initrd "$work/initramfs.cpio.gz" \
    -append "console=ttyS0 quiet loglevel=4 panic=-1 lumaro.limit=$limit" < /dev/null || status=$?
exit $status
