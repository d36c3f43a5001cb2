#!/bin/sh
# Copies kernel modules, unpacked, into one folder as <name>.ko for the VM's insmod.
#
#   copy-modules.sh <kernel version> <folder> <module>...
set -eu
kernel=$1
folder=$2
shift 2
for module in "$@"; do
    file=$(find "/lib/modules/$kernel/kernel" -name "$module.ko*" | head -n 1)
    [ -n "$file" ] || { echo "no module $module for kernel $kernel" >&2; exit 1; }
    case "$file" in
        *.ko) cp "$file" "$folder/$module.ko" ;;
        *.ko.xz) xz -dc "$file" > "$folder/$module.ko" ;;
        *.ko.zst) zstd -qdc "$file" > "$folder/$module.ko" ;;
        *) echo "cannot unpack $file" >&2; exit 1 ;;
    esac
done
