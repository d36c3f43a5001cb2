# The kernel tests' VM, host side, sourced after rig.sh: Debian's kernel under qemu (TCG) boots an
# initramfs whose /init sources vm-init.sh; console to WORK/console.log, report to WORK/results.txt.

# The gadget's USB and HID stack in loading order (gadgetfs mounts only after dummy_hcd).
vm_usb_modules="usb-common usbcore udc-core dummy_hcd gadgetfs hid hid-generic usbhid"

# Sets vm_kernel to the newest installed kernel whose modules include gadgetfs.
vm_find_kernel() {
    vm_kernel=
    for vm_image in $(ls -v /boot/vmlinuz-* 2> /dev/null); do
        vm_version=${vm_image#/boot/vmlinuz-}
        if find "/lib/modules/$vm_version/kernel/drivers/usb/gadget" -name 'gadgetfs.ko*' 2> /dev/null | grep -q .; then
            vm_kernel=$vm_version
        fi
    done
    [ -n "$vm_kernel" ] || rig_missing "no kernel with gadgetfs in /boot (Debian package linux-image-amd64)"
}

# Sets vm_root to a fresh folder, removed on exit, that becomes the VM's /: busybox, INIT as
# /init and the guest's shared part beside it.
vm_make_root() { # init
    rig_need qemu-system-x86_64 qemu-system-x86
    rig_need cpio cpio
    [ -x /bin/busybox ] || rig_missing "/bin/busybox is missing (Debian package busybox-static)"
    vm_find_kernel
    vm_root=$(mktemp -d)
    trap 'rm -rf "$vm_root"' EXIT
    # Unprivileged programs in the guest must be able to walk it.
    chmod 755 "$vm_root"
    mkdir -p "$vm_root/bin" "$vm_root/dev" "$vm_root/proc" "$vm_root/sys" "$vm_root/tmp" \
        "$vm_root/lib/modules"
    cp /bin/busybox "$vm_root/bin/busybox"
    cp "$rig_dir/vm-init.sh" "$vm_root/vm-init.sh"
    cp "$1" "$vm_root/init"
    chmod 755 "$vm_root/init"
}

# Unpacked as lib/modules/<name>.ko for busybox's insmod, each after those it needs (modules.dep),
# and listed in loading order. Only the modules the test uses are named, since what is built in or
# merged into another module differs by release; built-in ones are left out.
vm_add_modules() { # module...
    vm_modules=/lib/modules/$vm_kernel
    vm_files=$(awk -v wanted="$*" '
        function name(path) { sub(/.*\//, "", path); sub(/\.ko.*$/, "", path); return path }
        function add(module,   count, needed, i) {
            if (module in seen) return
            seen[module] = 1
            if (!(module in file)) { if (!(module in builtin)) print "missing:" module; return }
            count = split(needs[module], needed, " ")
            for (i = 1; i <= count; i++) add(needed[i])
            print file[module]
        }
        FILENAME ~ /builtin$/ { builtin[name($1)] = 1; next }
        {
            sub(/:$/, "", $1)
            file[name($1)] = $1
            for (i = 2; i <= NF; i++) needs[name($1)] = needs[name($1)] " " name($i)
        }
        END { count = split(wanted, module, " "); for (i = 1; i <= count; i++) add(module[i]) }
    ' "$vm_modules/modules.builtin" "$vm_modules/modules.dep")
    vm_order=
    for vm_file in $vm_files; do
        vm_module=$(basename "${vm_file%%.ko*}")
        case "$vm_file" in
            *.ko) cp "$vm_modules/$vm_file" "$vm_root/lib/modules/$vm_module.ko" ;;
            *.ko.xz) xz -dc "$vm_modules/$vm_file" > "$vm_root/lib/modules/$vm_module.ko" ;;
            *.ko.zst) zstd -qdc "$vm_modules/$vm_file" > "$vm_root/lib/modules/$vm_module.ko" ;;
            *) echo "$rig_name: no module ${vm_file#missing:} for kernel $vm_kernel" >&2; exit 1 ;;
        esac
        vm_order="$vm_order $vm_module"
    done
    echo $vm_order > "$vm_root/lib/modules/order"
}

# PROGRAM... into /bin, the Qt PLUGIN and every shared library they load at their own paths, where
# the loader and Qt look for them.
vm_add_programs() { # plugin program...
    vm_plugin=$1
    shift
    vm_keep_path "$vm_plugin"
    cp "$@" "$vm_root/bin/"
    for vm_file in "$vm_plugin" "$@"; do
        ldd "$vm_file" | awk '/=> \// { print $3 } /^\t\/.*\(0x/ { print $1 }'
    done | sort -u | while read -r vm_library; do
        vm_keep_path "$vm_library"
    done
}

vm_keep_path() { # file
    mkdir -p "$vm_root$(dirname "$1")"
    cp -L "$1" "$vm_root$1"
}

# Packs vm_root and boots it; the guest powers off after LIMIT seconds, timeout is the backstop.
vm_boot() { # work memory-MB limit-s [qemu option...]
    vm_work=$1 vm_memory=$2 vm_limit=$3
    shift 3
    mkdir -p "$vm_work"
    rm -f "$vm_work/console.log" "$vm_work/results.txt"
    (cd "$vm_root" && find . | cpio -o -H newc --quiet | gzip -1) > "$vm_work/initramfs.cpio.gz"
    echo "$rig_name: kernel $vm_kernel"
    timeout -k 5 $((vm_limit + 30)) qemu-system-x86_64 -accel tcg -m "$vm_memory" -smp 1 \
        -no-reboot -nic none -display none -monitor none \
        -serial "file:$vm_work/console.log" -serial "file:$vm_work/results.txt" "$@" \
        -kernel "/boot/vmlinuz-$vm_kernel" -initrd "$vm_work/initramfs.cpio.gz" \
        -append "console=ttyS0 quiet loglevel=4 panic=-1 lumaro.limit=$vm_limit" < /dev/null
}
