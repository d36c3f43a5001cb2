#!/bin/sh
# Boots Debian's kernel under qemu (TCG: no KVM here) with an initramfs made from this build's
# programs, and collects what the test inside reports.
#
#   run-kernel-test.sh <work dir> <qt offscreen plugin> <udev rule> <gadget> <driver> <probe>
#
# Leaves <work dir>/console.log (the VM's console) and <work dir>/results.txt (its report).
set -eu

work=$1
plugin=$2
rule=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)

kernel=$(sh "$here/find-gadget-kernel.sh") || exit 1
command -v qemu-system-x86_64 > /dev/null || { echo "run-kernel-test: qemu-system-x86_64 missing" >&2; exit 1; }
[ -x /bin/busybox ] || { echo "run-kernel-test: busybox missing (busybox-static)" >&2; exit 1; }
udevadm=$(command -v udevadm) || { echo "run-kernel-test: udevadm missing (udev)" >&2; exit 1; }

mkdir -p "$work"
rm -f "$work/console.log" "$work/results.txt"
"$here/make-initramfs.sh" "$work/initramfs.cpio.gz" "$kernel" "$here/init.sh" "$plugin" "$rule" \
    "$@" "$udevadm"

echo "run-kernel-test: kernel $kernel"
# The VM's own watchdog powers off after lumaro.limit seconds; timeout is the backstop.
status=0
timeout -k 5 150 qemu-system-x86_64 -accel tcg -m 512 -smp 1 -no-reboot -nic none \
    -display none -monitor none -serial "file:$work/console.log" -serial "file:$work/results.txt" \
    -kernel "/boot/vmlinuz-$kernel" -initrd "$work/initramfs.cpio.gz" \
    -append "console=ttyS0 quiet loglevel=4 panic=-1 lumaro.limit=120" < /dev/null || status=$?
exit $status
