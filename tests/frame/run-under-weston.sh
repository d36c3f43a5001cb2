#!/bin/sh
# Runs a test program as a client of Weston, Debian's reference Wayland compositor, with the
# compositor's output in a window on a virtual X display: the X pointer that xdotool moves there
# is the compositor's seat, so the program gets real input with the serials a move request needs.
#
#   run-under-weston.sh <program> [arguments...]
#
# Exits with 77 (skipped) when weston, Xvfb, xdotool or Qt's Wayland platform plugin is missing.
set -eu

for tool in weston weston-debug Xvfb xdotool; do
    command -v "$tool" > /dev/null || { echo "run-under-weston: $tool missing: skipped"; exit 77; }
done
if [ -z "$(find /usr/lib/*/qt5/plugins/platforms -name 'libqwayland-generic.so' 2> /dev/null)" ]; then
    echo "run-under-weston: Qt's Wayland platform plugin missing (qtwayland5): skipped"
    exit 77
fi

runtime=$(mktemp -d)
chmod 700 "$runtime"
xvfb=
weston=
stop() {
    [ -z "$weston" ] || kill "$weston" 2> /dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2> /dev/null || true
    wait
    rm -rf "$runtime"
}
trap stop EXIT

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3> "$runtime/display" > "$runtime/xvfb.log" 2>&1 &
xvfb=$!
tries=0
until [ -s "$runtime/display" ] || [ $tries -ge 100 ]; do sleep 0.1; tries=$((tries + 1)); done
[ -s "$runtime/display" ] || { cat "$runtime/xvfb.log"; echo "run-under-weston: Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$runtime/display")"

# --debug lets the test read the scene graph, where the compositor keeps each window's position.
XDG_RUNTIME_DIR=$runtime weston --backend=x11-backend.so --use-pixman --no-config --idle-time=0 \
    --debug --socket=weston --width=1200 --height=760 > "$runtime/weston.log" 2>&1 &
weston=$!
tries=0
until [ -S "$runtime/weston" ] || [ $tries -ge 100 ]; do sleep 0.1; tries=$((tries + 1)); done
[ -S "$runtime/weston" ] || { cat "$runtime/weston.log"; echo "run-under-weston: weston did not start"; exit 1; }

export XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY=weston QT_QPA_PLATFORM=wayland
status=0
"$@" || status=$?
[ $status -eq 0 ] || tail -n 20 "$runtime/weston.log"
exit $status
