#!/usr/bin/env bash
# tools/windows-qt-kit on bad input: every case must end with exit code 3, exactly one line on
# standard error, nothing on standard output, and no folder that a later run takes for a kit.
# Then --build, with a stand-in for tools/build-qt-windows: the kit is made once into the per-user
# cache and found there by the next clone; what an interrupted build left is never taken.
set -uo pipefail
lookup=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
export XDG_CACHE_HOME=$scratch/cache

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

# The stand-in makes a kit's files, the marker last unless it is told it was interrupted; it
# notes every run and whether the folder it was given was already there.
cat > "$scratch/fake-build" << 'EOF'
#!/usr/bin/env bash
echo "$1 $([[ -e $1 ]] && echo existed || echo absent)" >> "${1%/*}/builds"
mkdir -p "$1/lib/cmake/Qt5" "$1/bin"
touch "$1/lib/cmake/Qt5/Qt5Config.cmake"
install -m 755 /dev/null "$1/bin/moc"
[[ -z ${FAKE_INTERRUPTED:-} ]] || exit 1
touch "$1/.lumaro-kit-complete"
EOF
chmod +x "$scratch/fake-build"
check() { # name condition...
    local name=$1
    shift
    if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
builds() { wc -l < "$XDG_CACHE_HOME/lumaro-updater/builds" 2> /dev/null || echo 0; }
lookup_in() { # build-dir [--build]
    env -u LUMARO_QT_WINDOWS LUMARO_QT_WINDOWS_ARCHIVE="$scratch/none.tar.xz" \
        LUMARO_BUILD_QT_WINDOWS="$scratch/fake-build" "$lookup" "${@:2}" "$1" 2> "$scratch/err"
}

FAKE_INTERRUPTED=1 lookup_in "$scratch/clone1" --build > "$scratch/out"
check "an interrupted build fails and prints no kit" [ $? -ne 0 -a ! -s "$scratch/out" ]
lookup_in "$scratch/clone1" > /dev/null
check "a later lookup does not take what it left" [ $? -eq 3 ]
kit=$(lookup_in "$scratch/clone1" --build)
check "the next --build makes the kit again, into an emptied folder" \
    [ $? -eq 0 -a "$(tail -n 1 "$XDG_CACHE_HOME/lumaro-updater/builds")" = "$kit absent" ]
grep -q "building Qt 5\.15\.[0-9]* for it into $kit, once.*log $kit.log" "$scratch/err"
check "--build says what it builds, where, and where its log is" [ $? -eq 0 ]
[[ $kit == "$XDG_CACHE_HOME"/lumaro-updater/qt5.15.*-mingw-w64-static && -f $kit/.lumaro-kit-complete ]]
check "the kit lies in the per-user cache, named for this release's Qt: ${kit#"$scratch"/}" [ $? -eq 0 ]
check "another clone finds it without building" [ "$(lookup_in "$scratch/clone2")" = "$kit" -a "$(builds)" -eq 2 ]
check "and so does its --build" [ "$(lookup_in "$scratch/clone2" --build)" = "$kit" -a "$(builds)" -eq 2 ]

echo "$((11 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
