#!/usr/bin/env bash
# Starts an updater program a second time while one runs, on an X display of its own: the later
# copy must end with exit code 0 within 5 s, leaving one window, in front: no mapped window above
# it in the X server's stacking order (there is no window manager), and holding the input focus.
#
#   ProgramSecondCopy.sh [--cover COMMAND] [--no-focus] --shots DIR -- COMMAND...
#
# Each case starts the program, then the second copy:
#   starting  at once, while the first has no window yet (whichever claims first stays);
#   running   when the first's window is up and another program's window covers it;
#   hung      the same, with the first stopped (SIGSTOP) until the second has ended.
# --cover:    the covering program (default xlogo). A Windows program under wine needs a window
#             of wine's own: wine restacks only windows whose order it knows.
# --no-focus: the input focus is not read (wine without a window manager never moves it).
# The screen as each case ended is kept in the shots folder.
set -uo pipefail

shots="" cover_command="xlogo -geometry 1024x768+0+0" focus=true
while [[ $# -gt 0 ]]; do
    case "$1" in
        --shots) shots=$2; shift 2 ;;
        --cover) cover_command=$2; shift 2 ;;
        --no-focus) focus=false; shift ;;
        --) shift; break ;;
        *) echo "second-copy: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ -n $shots && $# -gt 0 ]] || { echo "usage: ProgramSecondCopy.sh [--cover COMMAND] [--no-focus] --shots DIR -- COMMAND..." >&2; exit 2; }

rig_dir=$(cd "$(dirname "$0")/../support" && pwd)
. "$rig_dir/rig.sh"
rig_need xdotool xdotool
rig_need xwininfo x11-utils
rig_need xlogo x11-apps
rig_need xwd x11-apps
rig_need convert imagemagick

readonly bound_ms=5000
mkdir -p "$shots"
rm -f "$shots"/*.png
pids=() cover=""
unset DISPLAY

now_ms() { echo $(($(date +%s%N) / 1000000)); }

cleanup() {
    for pid in "${pids[@]}" $cover; do kill -CONT "$pid" 2>/dev/null; kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}" $cover; do wait "$pid" 2>/dev/null; done
    pids=() cover=""
}
trap 'cleanup; [[ -n ${LUMARO_DRIVE_CLEANUP:-} ]] && sh -c "$LUMARO_DRIVE_CLEANUP" >/dev/null 2>&1; rig_xvfb_stop' EXIT

fail() {
    xwd -root -silent 2>/dev/null | convert xwd:- "$shots/last.png" 2>/dev/null
    echo "second-copy: $case: FAIL: $*"
    for log in "$shots"/copy-*.log; do [[ -s $log ]] && { echo "--- $log:"; tail -n 10 "$log"; }; done
    exit 1
}

windows() { xdotool search --onlyvisible --classname lumaro-updater 2>/dev/null; }
window_count() { [[ $(windows | wc -l) -eq $1 ]]; }
# Mapped windows from top to bottom.
stacking() { xwininfo -root -children | awk '$1 ~ /^0x/ && $NF != "" { print $1 }'; }
# Whether window $1 (decimal) is in front: no mapped window above it, and focused.
in_front() {
    local top
    top=$(for id in $(stacking); do
              xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' && { echo "$id"; break; }
          done)
    [[ $top == "$(printf '0x%x' "$1")" ]] || return 1
    ! $focus || [[ $(xdotool getwindowfocus 2>/dev/null) == "$1" ]]
}
covered() { ! in_front "$(windows)"; }
# Waits until command succeeds, for up to $1 ms.
wait_for() {
    local until=$(($(now_ms) + $1))
    shift
    until "$@"; do
        [[ $(now_ms) -lt $until ]] || return 1
        sleep 0.1
    done
}

rig_xvfb_start "$shots" || exit 1
[[ -z ${LUMARO_DRIVE_SETUP:-} ]] || sh -c "$LUMARO_DRIVE_SETUP" || fail "set-up failed"

for case in starting running hung; do
    rm -f "$shots"/copy-*.log
    "$@" > "$shots/copy-1.log" 2>&1 &
    pids=($!)
    if [[ $case != starting ]]; then
        wait_for 60000 window_count 1 || fail "the first copy's window never appeared"
        $cover_command > "$shots/cover.log" 2>&1 &
        cover=$!
        wait_for 30000 covered || fail "the covering window never appeared"
        [[ $case == hung ]] && kill -STOP "${pids[0]}"
    fi
    started=$(now_ms)
    "$@" > "$shots/copy-2.log" 2>&1 &
    pids+=($!)

    # The copy that ends: the second, or in a race at start-up either.
    ended="" rc=""
    while [[ -z $ended && $(($(now_ms) - started)) -lt $bound_ms ]]; do
        for pid in "${pids[@]}"; do
            kill -0 "$pid" 2>/dev/null && [[ $(ps -o stat= -p "$pid") != Z* ]] && continue
            [[ $case == starting || $pid == "${pids[1]}" ]] || continue
            wait "$pid"
            rc=$? ended=$pid
        done
        [[ -n $ended ]] || sleep 0.05
    done
    took=$(($(now_ms) - started))
    [[ -n $ended ]] || fail "no copy ended within $bound_ms ms"
    [[ $rc == 0 ]] || fail "the later copy ended with exit code $rc"
    [[ $case == hung ]] && kill -CONT "${pids[0]}"
    remaining=()
    for pid in "${pids[@]}"; do [[ $pid == "$ended" ]] || remaining+=("$pid"); done
    pids=("${remaining[@]}")

    wait_for 30000 window_count 1 || fail "$(windows | wc -l) windows instead of one"
    window=$(windows)
    wait_for 10000 in_front "$window" || fail "the window did not come to the front"
    sleep 1
    window_count 1 || fail "a second window appeared later"
    xwd -root -silent | convert xwd:- "$shots/$case.png"
    echo "second-copy: $case: the later copy ended with exit code 0 after $took ms; one window, in front"
    cleanup
done
