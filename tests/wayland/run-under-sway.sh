#!/bin/sh
# Runs a test program as a client of sway on its headless output; the test brings its own pointer
# through the virtual-pointer protocol, and sway's IPC tells where windows are.
#
#   run-under-sway.sh <program> [arguments...]
#
# Skips (77) when sway or Qt's Wayland platform plugin is missing; under ./check that fails.
set -eu

rig_dir=$(cd "$(dirname "$0")/../support" && pwd)
. "$rig_dir/rig.sh"
rig_need sway sway
rig_need swaymsg sway
rig_need setpriv util-linux
[ -n "$(find /usr/lib/*/qt5/plugins/platforms -name 'libqwayland-generic.so' 2> /dev/null)" ] ||
    rig_missing "Qt's Wayland platform plugin is missing (Debian package qtwayland5)"

runtime=$(mktemp -d)
sway=
# sway 1.10 (Debian 13) was seen not to end on SIGTERM after a passing test, which then hung
# until ctest's timeout: it gets 5 s, then SIGKILL, and says so.
stop() {
    if [ -n "$sway" ]; then
        kill "$sway" 2> /dev/null || true
        tries=0
        while [ $tries -lt 50 ] && [ -e "/proc/$sway" ] &&
              [ "$(cut -d' ' -f3 "/proc/$sway/stat" 2> /dev/null)" != Z ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
        if [ $tries -ge 50 ]; then
            echo "run-under-sway: sway did not end within 5 s of SIGTERM; killed" >&2
            kill -KILL "$sway" 2> /dev/null || true
        fi
    fi
    wait
    rm -rf "$runtime"
}
trap stop EXIT

# The output's size is what the test's pointer spans; floating windows, as on a stacking desktop,
# are placed and moved by the compositor alone.
cat > "$runtime/config" << 'CONFIG'
output HEADLESS-1 resolution 1280x800 position 0 0
xwayland disable
default_border none
default_floating_border none
for_window [app_id=".*"] floating enable
for_window [title=".*"] floating enable
CONFIG
mkdir -m 700 "$runtime/xdg"

# sway refuses to run as root: there it runs as nobody.
as_user=
if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$runtime/xdg"
    chmod 755 "$runtime"
    chmod 644 "$runtime/config"
    as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
XDG_RUNTIME_DIR="$runtime/xdg" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    HOME="$runtime" $as_user sway --config "$runtime/config" > "$runtime/sway.log" 2>&1 &
sway=$!
tries=0
until [ -S "$runtime/xdg/wayland-1" ] && ls "$runtime"/xdg/sway-ipc.*.sock > /dev/null 2>&1 ||
      [ $tries -ge 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
if ! [ -S "$runtime/xdg/wayland-1" ]; then
    cat "$runtime/sway.log"
    echo "run-under-sway: sway did not start"
    exit 1
fi

SWAYSOCK=$(ls "$runtime"/xdg/sway-ipc.*.sock)
# The window draws with the CPU: without a GPU, the EGL driver Qt would load leaks in a library it
# unloads before exit. "none" names no plugin: Qt warns that it failed to load, and loads none.
export QT_WAYLAND_CLIENT_BUFFER_INTEGRATION=none
export SWAYSOCK XDG_RUNTIME_DIR="$runtime/xdg" WAYLAND_DISPLAY=wayland-1 QT_QPA_PLATFORM=wayland
status=0
"$@" || status=$?
[ $status -eq 0 ] || tail -n 20 "$runtime/sway.log"
exit $status
