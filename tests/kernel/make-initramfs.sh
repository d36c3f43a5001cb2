#!/bin/sh
# Builds the kernel test's initramfs: busybox, the given programs with every shared library they
# load (and Qt's offscreen platform plugin with its own), the USB and HID modules of the kernel,
# the udev rule under test in /etc/udev/rules.d, and the test's /init.
#
#   make-initramfs.sh <output.cpio.gz> <kernel version> <init script> <qt plugin> <udev rule>
#                     <program>...
set -eu

out=$1
kernel=$2
init=$3
plugin=$4
rule=$5
shift 5

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
# It becomes the VM's /, which unprivileged programs must be able to walk.
chmod 755 "$root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/lib/modules" \
    "$root/etc/udev/rules.d"
cp "$rule" "$root/etc/udev/rules.d/"

cp /bin/busybox "$root/bin/busybox"
cp "$init" "$root/init"
chmod 755 "$root/init"
echo "root:x:0:0::/:/bin/sh" > "$root/etc/passwd"
echo "root:x:0:" > "$root/etc/group"

# Keeps each file at its own path, so the loader and Qt find them where they were built to look.
copy_with_path() {
    mkdir -p "$root$(dirname "$1")"
    cp -L "$1" "$root$1"
}

copy_with_path "$plugin"
for program in "$@"; do
    cp "$program" "$root/bin/"
done
for file in "$plugin" "$@"; do
    ldd "$file" | awk '/=> \// { print $3 } /^\t\/.*\(0x/ { print $1 }'
done | sort -u | while read -r library; do
    copy_with_path "$library"
done

# The order /init loads them in is its own; here only where they come from.
sh "$(dirname "$0")/copy-modules.sh" "$kernel" "$root/lib/modules" \
    usb-common usbcore udc-core dummy_hcd gadgetfs hid hid-generic usbhid

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out"
