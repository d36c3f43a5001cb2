#!/usr/bin/env bash
# Builds the program with a vendor-like image in a build tree of its own and checks that it links
# nothing of the simulator. The tree is kept, so that a later run rebuilds only what changed.
# A build made with the vendor's image checks its own program (--program).
#   tests/app/VendorProgramSymbols.sh SOURCE_DIR BUILD_DIR EMBED_TOOL [CMake arguments...]
#   tests/app/VendorProgramSymbols.sh --program NM PROGRAM
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ ${1:-} == --program ]]; then
    shift
    exec "$here/no-simulator-symbols.sh" "$@"
fi
[[ $# -ge 3 ]] || { echo "usage: tests/app/VendorProgramSymbols.sh SOURCE_DIR BUILD_DIR EMBED_TOOL [CMake arguments...]" >&2; exit 2; }
source_dir=$1
build_dir=$2
embed_tool=$3
shift 3

mkdir -p "$build_dir"
image=$build_dir/vendor-like-firmware.bin
"$embed_tool" --write-stand-in "$image" > /dev/null
"$here/../support/vendor-like-image.sh" "$image"
cmake -S "$source_dir" -B "$build_dir" -DLUMARO_FIRMWARE_IMAGE="$image" \
    -DLUMARO_BUILD_TESTS=OFF -DLUMARO_BUILD_BENCH=OFF "$@" > "$build_dir/configure.log" ||
    { cat "$build_dir/configure.log"; exit 1; }
cmake --build "$build_dir" -j"$(nproc)" --target lumaro-updater > "$build_dir/build.log" 2>&1 ||
    { tail -n 40 "$build_dir/build.log"; exit 1; }
"$here/no-simulator-symbols.sh" nm "$build_dir/lumaro-updater"
