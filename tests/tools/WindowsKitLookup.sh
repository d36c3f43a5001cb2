#!/usr/bin/env bash
# tools/windows-qt-kit on bad input: every case must end with exit code 3, exactly one line on
# standard error, nothing on standard output, and no folder that a later run takes for a kit.
set -uo pipefail
lookup=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

expect_refusal() { # name [environment...]
    local name=$1 status lines
    shift
    env -u LUMARO_QT_WINDOWS "$@" "$lookup" "$scratch/build" >"$scratch/out" 2>"$scratch/err"
    status=$?
    lines=$(wc -l <"$scratch/err")
    if [[ $status -ne 3 || $lines -ne 1 || -s $scratch/out || -d $scratch/build/qt-kit/qt5.15.8-mingw-w64-static ]]; then
        echo "FAIL $name: exit $status, $lines error lines, output '$(cat "$scratch/out")'"
        cat "$scratch/err"
        failures=$((failures + 1))
    else
        echo "ok   $name: $(cat "$scratch/err")"
    fi
}

expect_refusal "missing archive" LUMARO_QT_WINDOWS_ARCHIVE="$scratch/none.tar.xz"
head -c 100000 /dev/urandom >"$scratch/corrupt.tar.xz"
expect_refusal "corrupt archive" LUMARO_QT_WINDOWS_ARCHIVE="$scratch/corrupt.tar.xz"
# What an interrupted unpack or kit build leaves: a kit's files without the mark of completion.
mkdir -p "$scratch/build/qt-kit/qt5.15.8-mingw-w64-static/lib/cmake/Qt5" "$scratch/build/qt-kit/qt5.15.8-mingw-w64-static/bin"
touch "$scratch/build/qt-kit/qt5.15.8-mingw-w64-static/lib/cmake/Qt5/Qt5Config.cmake"
install -m 755 /dev/null "$scratch/build/qt-kit/qt5.15.8-mingw-w64-static/bin/moc"
env -u LUMARO_QT_WINDOWS LUMARO_QT_WINDOWS_ARCHIVE="$scratch/none.tar.xz" "$lookup" "$scratch/build" >/dev/null 2>&1
[[ $? -eq 3 ]] && echo "ok   unfinished kit not taken" || { echo "FAIL unfinished kit taken"; failures=$((failures + 1)); }
rm -rf "$scratch/build"
expect_refusal "prefix without a kit" LUMARO_QT_WINDOWS="$scratch"

echo "$((4 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
