#!/bin/sh
# Writes a plain white 152x152 icon at 32 bits per pixel (the layout the program's icon has) to
# $1, for building the icon resource before the real picture exists.
set -eu
mkdir -p "$(dirname "$1")"
{
    # ICONDIR: reserved, type 1 (icon), one image.
    printf '\000\000\001\000\001\000'
    # ICONDIRENTRY: 152x152, no palette, 1 plane, 32 bits, 95496 bytes at offset 22.
    printf '\230\230\000\000\001\000\040\000\010\165\001\000\026\000\000\000'
    # BITMAPINFOHEADER: 40 bytes, width 152, height 304 (colour and mask), 1 plane, 32 bits.
    printf '\050\000\000\000\230\000\000\000\060\001\000\000\001\000\040\000'
    head -c 24 /dev/zero
    # 152 x 152 opaque white BGRA pixels, then the all-zero AND mask (20 bytes a row).
    head -c 92416 /dev/zero | tr '\000' '\377'
    head -c 3040 /dev/zero
} > "$1.tmp"
mv "$1.tmp" "$1"
