#!/bin/sh
# Starts (start) or stops (stop) the one wineserver that all Windows tests of a ctest run share,
# in the prefix named by WINEPREFIX. Without it every test waits about 2.5 s for wine to wind
# down; with it a test costs well under 0.1 s.
set -u
case "${1:-}" in
start)
    mkdir -p "$WINEPREFIX"
    # Its standard streams must not stay attached to ctest's pipe, or the run never ends.
    wineserver -p </dev/null >/dev/null 2>&1 ||
        { echo "wine-session: wineserver did not start in $WINEPREFIX" >&2; exit 1; }
    # Creates the prefix on first use (several seconds) and brings up wine's own HID devices.
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
