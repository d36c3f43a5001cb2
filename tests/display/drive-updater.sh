#!/usr/bin/env bash
# Drives an updater program on an X display of its own (Xvfb), from outside, as a person would:
# waits for its window, reads what the window shows from screenshots, clicks, and closes it
# through the title bar. Each state's screenshot is kept in the shots folder; on a failure the
# last one is kept as last.png.
#
#   drive-updater.sh --expect update|no-controller|window --shots DIR --pictures DIR -- COMMAND...
#
# window:        the window must appear.
# update:        the window must offer Update beside the controller picture; it is clicked and
#                the finish indicator must follow.
# no-controller: the window must show the start picture and no button, and keep doing so.
# Either way the close button of the title bar must end the program with exit code 0.
# LUMARO_DRIVE_CLEANUP, if set, is run at the end (e.g. to stop a wineserver).
set -uo pipefail

expect="" shots="" pictures=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --expect) expect=$2; shift 2 ;;
        --shots) shots=$2; shift 2 ;;
        --pictures) pictures=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "drive-updater: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ $expect =~ ^(update|no-controller|window)$ ]] && [[ -n $shots && -d $pictures && $# -gt 0 ]] \
    || { echo "usage: drive-updater.sh --expect update|no-controller|window --shots DIR --pictures DIR -- COMMAND..." >&2; exit 2; }

rig_dir=$(cd "$(dirname "$0")/../rig" && pwd)
. "$rig_dir/rig.sh"
rig_need xdotool xdotool
rig_need xwd x11-apps
rig_need convert imagemagick

readonly total_seconds=${LUMARO_DRIVE_SECONDS:-240}
started=$(date +%s%N)
mkdir -p "$shots/refs"
rm -f "$shots"/*.png
program_pid="" last_shot=""
unset DISPLAY

elapsed_ms() { echo $((($(date +%s%N) - started) / 1000000)); }
note() { printf '[%6d ms] %s\n' "$(elapsed_ms)" "$*"; }

cleanup() {
    [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null
    [[ -n ${LUMARO_DRIVE_CLEANUP:-} ]] && sh -c "$LUMARO_DRIVE_CLEANUP" >/dev/null 2>&1
    rig_xvfb_stop
}
trap cleanup EXIT

fail() {
    # The screen as it is now: a hung program or a message box shows there.
    if [[ -n ${DISPLAY:-} ]]; then
        xwd -root -silent 2>/dev/null | convert xwd:- "$shots/last.png" 2>/dev/null
    fi
    [[ -s $shots/last.png || -z $last_shot ]] || cp "$last_shot" "$shots/last.png"
    note "FAIL: $*"
    [[ -s $shots/program.log ]] && { echo "--- program output:"; tail -n 20 "$shots/program.log"; }
    exit 1
}

out_of_time() { [[ $(elapsed_ms) -gt $((total_seconds * 1000)) ]]; }

# The pictures as the window draws them: stretched to the widget and laid over its background.
background='#F0F0F0'
skins=(Update_Normal_1 Update_Focous_1 Update_Press_1 finish_normal finish_focous finish_press)
for skin in "${skins[@]}"; do
    convert "$pictures/$skin.png" -background "$background" -flatten -resize '210x90!' "$shots/refs/$skin.png"
done
convert "$pictures/QR5CTRL.png" -background "$background" -flatten -resize '300x240!' "$shots/refs/controller.png"

rig_xvfb_start "$shots/refs" || fail "no display"
note "display $DISPLAY"

timeout -k 5 "$total_seconds" "$@" >"$shots/program.log" 2>&1 &
program_pid=$!

# Sets score to the mean absolute difference (0..1) between a region of the window and a
# reference picture.
difference() { # shot x y w h reference
    local crop=$shots/refs/crop.png
    convert "$1" -crop "$4x$5+$((win_x + $2))+$((win_y + $3))" +repage "$crop"
    score=$(compare -metric MAE "$crop" "$6" null: 2>&1 | sed -n 's/.*(\([0-9.e+-]*\)).*/\1/p')
    [[ -n $score ]] || fail "could not compare a region with $6"
}
closer_than() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

shot() { # name
    last_shot=$shots/$1.png
    xwd -root -silent | convert xwd:- "$last_shot"
}

# What the window shows: the button skin that matches best (or none) and the picture.
read_window() {
    shot current
    button=none
    local best=0.08 skin
    for skin in "${skins[@]}"; do
        difference "$last_shot" 310 145 210 90 "$shots/refs/$skin.png"
        closer_than "$score" "$best" && { best=$score; button=$skin; }
    done
    difference "$last_shot" 5 70 300 240 "$shots/refs/controller.png"
    if closer_than "$score" 0.06; then picture=controller; else picture=start; fi
}

running() { kill -0 "$program_pid" 2>/dev/null; }

window=""
until [[ -n $window ]]; do
    running || { wait "$program_pid"; fail "the program ended (exit $?) before showing its window"; }
    out_of_time && fail "no window within ${total_seconds} s"
    window=$(xdotool search --name '^Widget$' 2>/dev/null | head -n 1)
    [[ -n $window ]] || sleep 0.2
done
eval "$(xdotool getwindowgeometry --shell "$window" | sed 's/^/win_/' | tr 'A-Z' 'a-z')"
[[ $win_width == 575 && $win_height == 575 ]] || fail "the window is ${win_width}x${win_height}, not 575x575"
note "window shown at $win_x,$win_y, 575x575"

wait_for() { # description condition...
    local description=$1
    shift
    while true; do
        running || { wait "$program_pid"; fail "the program ended (exit $?) while waiting for $description"; }
        out_of_time && fail "no $description within ${total_seconds} s (last seen: button $button, picture $picture)"
        read_window
        "$@" && return 0
        sleep 0.1
    done
}
# A person's click: the pointer arrives, rests, presses and lets go. A press and release sent in
# one instant with no movement before them can be lost by the toolkit.
click() {
    xdotool mousemove $((win_x + $1)) $((win_y + $2))
    sleep 0.3
    xdotool mousedown 1
    sleep 0.1
    xdotool mouseup 1
}

button=none picture=none
if [[ $expect == update ]]; then
    wait_for "Update button" eval '[[ $button == Update_Normal_1 && $picture == controller ]]'
    cp "$last_shot" "$shots/1-update-offered.png"
    note "Update offered beside the controller picture"
    click 415 190
    clicked=$(elapsed_ms)
    wait_for "finish indicator" eval '[[ $button == finish_* ]] || { [[ $button == none && ! -f $shots/2-flashing.png ]] && cp "$last_shot" "$shots/2-flashing.png"; false; }'
    cp "$last_shot" "$shots/3-finished.png"
    note "finish indicator ($button) $(($(elapsed_ms) - clicked)) ms after the click"
elif [[ $expect == no-controller ]]; then
    wait_for "start picture" eval '[[ $button == none && $picture == start ]]'
    # Six discovery passes later it must still show the same, and still answer.
    sleep 3
    read_window
    [[ $button == none && $picture == start ]] || fail "after 3 s it shows button $button, picture $picture"
    cp "$last_shot" "$shots/1-no-controller.png"
    note "start picture and no button, after 3 s too"
fi

click 555 20
closed=$(elapsed_ms)
while running; do
    [[ $(($(elapsed_ms) - closed)) -lt 20000 ]] || { shot after-close; fail "still running 20 s after the close button"; }
    sleep 0.1
done
wait "$program_pid"
status=$?
program_pid=""
[[ $status -eq 0 ]] || fail "exit code $status after the close button"
note "closed through the title bar: exit code 0 after $(($(elapsed_ms) - closed)) ms"
