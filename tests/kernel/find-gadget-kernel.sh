#!/bin/sh
# Prints the version of the newest installed kernel whose modules include gadgetfs.
kernel=
for image in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
    version=${image#/boot/vmlinuz-}
    if find "/lib/modules/$version/kernel/drivers/usb/gadget" -name 'gadgetfs.ko*' 2>/dev/null | grep -q .; then
        kernel=$version
    fi
done
if [ -z "$kernel" ]; then
    echo "no kernel with gadgetfs in /boot (install linux-image-amd64)" >&2
    exit 1
fi
echo "$kernel"
