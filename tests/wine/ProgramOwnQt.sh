#!/usr/bin/env bash
# The Windows program among another Qt's files: QT_PLUGIN_PATH and QT_QPA_PLATFORM_PLUGIN_PATH
# (WINEQT_* under wine) name a folder holding a platforms\qwindows.dll, the same plugin lies beside
# the .exe, and a qt.conf there names that folder and asks for dpiawareness=0. The program must
# show its window at the display's scale and do the demo update, open nothing in that folder and
# no qt.conf (wine's file trace), not load the plugin (it leaves a marker) and refuse no option.
#
#   ProgramOwnQt.sh CASE PROGRAM.exe PLUGIN.dll WORK_DIR -- DRIVER_ARGUMENTS...
#
# CASE: foreign     the setting above;
#       options     the same, with Qt's own -platform windows -style fusion on the command line;
#       unreadable  the foreign plugin folder cannot be read (a link to itself);
#       garbage     qt.conf is binary garbage around the dpiawareness line.
set -uo pipefail
[[ $# -ge 5 && $5 == -- ]] || { echo "usage: ProgramOwnQt.sh CASE PROGRAM.exe PLUGIN.dll WORK_DIR -- DRIVER_ARGUMENTS..." >&2; exit 2; }
case_name=$1 program=$2 plugin=$3 work=$4
shift 5

rm -rf "$work"
mkdir -p "$work/foreign-qt/platforms" "$work/platforms" || exit 1
cp "$program" "$work/lumaro-updater.exe" && cp "$plugin" "$work/foreign-qt/platforms/qwindows.dll" \
    && cp "$plugin" "$work/platforms/qwindows.dll" || exit 1
foreign="Z:$work/foreign-qt"
arguments=()
conf=$(printf '[Paths]\nPrefix=%s\nPlugins=.\n[Platforms]\nWindowsArguments=dpiawareness=0\n' "$foreign")
case $case_name in
    foreign) ;;
    options) arguments=(-platform windows -style fusion) ;;
    unreadable)
        rm -rf "$work/foreign-qt/platforms"
        ln -s platforms "$work/foreign-qt/platforms" ;;
    garbage) conf=$(printf '\377\376[Paths\001\nPrefix\n=\033[Platforms]\nWindowsArguments=dpiawareness=0\n\200]]=\n') ;;
    *) echo "own-qt: unknown case $case_name" >&2; exit 2 ;;
esac
printf '%s\n' "$conf" >"$work/qt.conf"

export WINEQT_PLUGIN_PATH=$foreign WINEQT_QPA_PLATFORM_PLUGIN_PATH=$foreign/platforms
# The file trace and Qt's own warnings go to the program's output, which the driver keeps.
export WINEDEBUG=+file WINEQT_FORCE_STDERR_LOGGING=1
shots=$work/shots
bash "$(dirname "$0")/../display/ProgramOnDisplay.sh" --shots "$shots" "$@" \
    -- wine "$work/lumaro-updater.exe" "${arguments[@]}" || exit 1

status=0
opened=$(grep -ai -e 'foreign-qt' -e '\\qt\.conf' "$shots/program.log" | head -n 5)
if [[ -n $opened ]]; then
    echo "FAIL: the program looked at another Qt's files:"
    printf '%s\n' "$opened"
    status=1
fi
# Qt says so when a -style or -platform it was given is not among what it has.
refused=$(grep -a -e 'invalid style override' -e 'platform plugin' "$shots/program.log" | head -n 3)
if [[ -n $refused ]]; then
    echo "FAIL: Qt refused an option: $refused"
    status=1
fi
loaded=$(find "$work" -name '*.loaded')
if [[ -n $loaded ]]; then
    echo "FAIL: the foreign plugin was loaded: $loaded"
    status=1
fi
[[ $status -eq 0 ]] && echo "own-qt $case_name: window and update as usual; no foreign file opened, no plugin loaded"
exit $status
