#!/usr/bin/env bash
# Drives an updater program on an Xvfb display of its own as a person would: waits for its window,
# reads it from screenshots, clicks, and closes it through the title bar. Each state's screenshot
# stays in the shots folder; on a failure the last one is kept as last.png.
#
#   ProgramOnDisplay.sh --expect update|no-controller|window [--scale PERCENT] [--keys] --shots DIR
#                    --pictures DIR -- COMMAND...
#
# window:        the window must appear.
# update:        Update must be offered beside the controller picture; it is clicked and the finish
#                indicator must follow.
# no-controller: the start picture and no button, and still so 3 s later.
# Either way the title bar's close button must end the program with exit code 0.
# --scale:       the scale the program must follow on the 96 dpi display: the window is 575 x 575
#                times it (+-1 pixel), and every region is read at it.
# --keys:        Update and close by Tab and Space alone; each Tab must move the focus frame to the
#                next control: Update, then (after the finish indicator) minimise and close.
# LUMARO_DRIVE_SETUP runs once the display is up, before the program (e.g. to set Xft.dpi);
# LUMARO_DRIVE_CLEANUP runs at the end (e.g. to stop a wineserver).
set -uo pipefail

expect="" shots="" pictures="" scale=100 keys=false
while [[ $# -gt 0 ]]; do
    case "$1" in
        --expect) expect=$2; shift 2 ;;
        --scale) scale=$2; shift 2 ;;
        --keys) keys=true; shift ;;
        --shots) shots=$2; shift 2 ;;
        --pictures) pictures=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "ProgramOnDisplay: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ $expect =~ ^(update|no-controller|window)$ ]] && [[ -n $shots && -d $pictures && $# -gt 0 ]] \
    && [[ $scale =~ ^[1-9][0-9]*$ ]] \
    || { echo "usage: ProgramOnDisplay.sh --expect update|no-controller|window [--scale PERCENT] [--keys] --shots DIR --pictures DIR -- COMMAND..." >&2; exit 2; }

rig_dir=$(cd "$(dirname "$0")/../support" && pwd)
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

# A length in the window's own pixels at the display's scale.
px() { echo $((($1 * scale + 50) / 100)); }

# The pictures as the window draws them: stretched to the widget and laid over its background.
background='#F0F0F0'
skins=(Update_Normal_1 Update_Focous_1 Update_Press_1 finish_normal finish_focous finish_press)
for skin in "${skins[@]}"; do
    convert "$pictures/$skin.png" -background "$background" -flatten -resize "$(px 210)x$(px 90)!" "$shots/refs/$skin.png"
done
convert "$pictures/QR5CTRL.png" -background "$background" -flatten -resize "$(px 300)x$(px 240)!" "$shots/refs/controller.png"

# 96 dpi: a display at 100 %, whatever Xvfb assumes for its size; room for a window at 300 %.
rig_xvfb_start "$shots/refs" 1800x1800x24 -dpi 96 || fail "no display"
note "display $DISPLAY"
if [[ -n ${LUMARO_DRIVE_SETUP:-} ]]; then
    sh -c "$LUMARO_DRIVE_SETUP" >"$shots/setup.log" 2>&1 || fail "set-up failed: $(tail -n 3 "$shots/setup.log")"
fi

timeout -k 5 "$total_seconds" "$@" >"$shots/program.log" 2>&1 &
program_pid=$!

# Sets score to the mean absolute difference (0..1) between a region of the window, given in
# device-independent pixels, and a reference picture.
difference() { # shot x y w h reference
    local crop=$shots/refs/crop.png
    convert "$1" -crop "$(px "$4")x$(px "$5")+$((win_x + $(px "$2")))+$((win_y + $(px "$3")))" +repage "$crop"
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
size=$(px 575)
for side in "$win_width" "$win_height"; do
    [[ $side -ge $((size - 1)) && $side -le $((size + 1)) ]] \
        || fail "the window is ${win_width}x${win_height}, not ${size}x${size} (575 at ${scale} %)"
done
note "window shown at $win_x,$win_y, ${win_width}x${win_height} at ${scale} %"

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
    xdotool mousemove $((win_x + $(px "$1"))) $((win_y + $(px "$2")))
    sleep 0.3
    xdotool mousedown 1
    sleep 0.1
    xdotool mouseup 1
}

# A press of Tab: the changes on screen must lie within the control that had focus and the one
# that gets it (rectangles in device-independent pixels), and the latter must change: its frame.
tab_to() { # name x y w h [previous x y w h]
    local before=$last_shot name=$1
    xdotool key Tab
    sleep 0.5
    shot "keys-$name"
    local box=$(convert "$before" "$last_shot" -compose difference -composite -threshold 1% -format '%@' info:)
    [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || fail "Tab to $name changed nothing on screen"
    local w=${BASH_REMATCH[1]} h=${BASH_REMATCH[2]} x=$((BASH_REMATCH[3] - win_x)) y=$((BASH_REMATCH[4] - win_y))
    local left=$2 top=$3 right=$(($2 + $4)) bottom=$(($3 + $5))
    if [[ $# -gt 5 ]]; then
        ((left = left < $6 ? left : $6, top = top < $7 ? top : $7))
        ((right = right > $6 + $8 ? right : $6 + $8, bottom = bottom > $7 + $9 ? bottom : $7 + $9))
    fi
    left=$(px "$left") top=$(px "$top") right=$(px "$right") bottom=$(px "$bottom")
    ((x >= left - 1 && y >= top - 1 && x + w <= right + 1 && y + h <= bottom + 1)) \
        || fail "Tab to $name changed the screen at ${w}x${h}+${x}+${y}, outside the controls"
    convert "$before" -crop "$(px "$4")x$(px "$5")+$((win_x + $(px "$2")))+$((win_y + $(px "$3")))" \
        +repage "$shots/refs/unfocused.png"
    difference "$last_shot" "$2" "$3" "$4" "$5" "$shots/refs/unfocused.png"
    closer_than "$score" 0.005 && fail "Tab to $name: no focus frame there (difference $score)"
    note "Tab: focus frame on $name (difference $score; changes within ${w}x${h}+${x}+${y})"
}

button=none picture=none
[[ $expect != update ]] || wait_for "Update button" eval '[[ $button == Update_Normal_1 && $picture == controller ]]'
if [[ $expect == update && $keys == true ]]; then
    # What a window manager does for a window that appears: give it the keyboard. The pointer
    # rests on the picture, away from every control.
    xdotool mousemove $((win_x + $(px 100))) $((win_y + $(px 500)))
    xdotool windowfocus --sync "$window"
    sleep 0.5
    shot keys-0-start
    read_window
    [[ $button == Update_Normal_1 ]] || fail "before any key the Update button shows as $button"
    tab_to 1-update 310 145 210 90
    xdotool key space
    pressed=$(elapsed_ms)
    wait_for "finish indicator" eval '[[ $button == finish_* ]]'
    cp "$last_shot" "$shots/keys-2-finished.png"
    note "finish indicator ($button) $(($(elapsed_ms) - pressed)) ms after Space"
    tab_to 3-minimise 495 0 40 40 310 145 210 90
    tab_to 4-close 535 0 40 40 495 0 40 40
    xdotool key space
elif [[ $expect == update ]]; then
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

$keys || click 555 20
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
