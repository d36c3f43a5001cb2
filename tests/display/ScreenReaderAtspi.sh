#!/bin/sh
# Runs read-over-atspi.py in a session bus of its own, as an ordinary user: a program under root
# is not what a screen reader meets on a desktop.
#
#   ScreenReaderAtspi.sh UPDATER NO_CONTROLLER_PROGRAM TREE_FILE
#
# Skips (77) when a tool is missing, naming its package; under ./check that fails.
set -u
PATH=$PATH:/usr/sbin:/sbin
updater=$1 no_controller=$2 tree=$3

rig_dir=$(cd "$(dirname "$0")/../support" && pwd)
. "$rig_dir/rig.sh"
rig_need Xvfb xvfb
rig_need dbus-run-session dbus-bin
[ -x /usr/libexec/at-spi-bus-launcher ] || rig_missing "at-spi-bus-launcher is missing (Debian package at-spi2-core)"
/usr/bin/python3 -c 'import pyatspi' > /dev/null 2>&1 || rig_missing "pyatspi is missing (Debian package python3-pyatspi)"

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
run=""
if [ "$(id -u)" -eq 0 ]; then
    # nobody may not reach the checkout (a clone under /root, mode 700): the reader and the two
    # programs run from the work folder.
    cp "$here/read-over-atspi.py" "$updater" "$no_controller" "$work/"
    here=$work updater=$work/$(basename "$updater") no_controller=$work/$(basename "$no_controller")
    chown -R nobody "$work"
    run="runuser -u nobody --"
fi
# A sanitizer run's settings and the release under test reach the programs; nothing else of this
# environment does.
set --
for name in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS QT_XCB_GL_INTEGRATION LUMARO_RELEASE_VERSION; do
    eval "value=\${$name-}"
    [ -z "$value" ] || set -- "$@" "$name=$value"
done
status=0
$run env -i PATH=/usr/bin:/bin HOME="$work" XDG_RUNTIME_DIR="$work" LC_ALL=C.UTF-8 "$@" \
    dbus-run-session -- /usr/bin/python3 "$here/read-over-atspi.py" \
    --updater "$updater" --no-controller "$no_controller" --tree "$work/tree.txt" || status=$?
cp "$work/tree.txt" "$tree" 2>/dev/null
exit $status
