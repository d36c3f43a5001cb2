# What the rig scripts share: sourced (by sh and bash alike) after setting rig_dir to this folder.
rig_name=${rig_name:-$(basename "$0")}

# A rig run by hand skips (77, ctest's SKIP_RETURN_CODE) when a tool is missing; under ./check,
# which installed them all, a missing tool is a fault of the set-up and fails.
rig_missing() { # what-and-why
    echo "$rig_name: $1" >&2
    [ "${LUMARO_RIGS_REQUIRED:-0}" = 1 ] && exit 1
    exit 77
}
rig_need() { # command package
    command -v "$1" > /dev/null 2>&1 || rig_missing "$1 is missing (Debian package $2)"
}

# Root's commands through sudo when not root; apt waits for another apt rather than failing. Under
# ./check, which asked for the password up front, sudo never asks: a prompt in a background stage
# would stop it.
rig_sudo() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif [ "${LUMARO_RIGS_REQUIRED:-0}" = 1 ]; then
        sudo -n true 2> /dev/null ||
            { echo "$rig_name: sudo needs a password: run ./check from a terminal (it asks once, up front)" >&2; return 1; }
        sudo -n "$@"
    else
        sudo "$@"
    fi
}
rig_apt() {
    rig_sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -q "$@"
}

# An X server on a free display; exports DISPLAY. -noreset: otherwise Xvfb resets when its first
# client leaves, refusing one that connects meanwhile.
rig_xvfb_start() { # folder [screen [more Xvfb arguments...]]
    rig_need Xvfb xvfb
    rig_xvfb_folder=$1
    rig_xvfb_screen=${2:-1024x768x24}
    shift
    [ $# -eq 0 ] || shift
    : > "$rig_xvfb_folder/display"
    Xvfb -displayfd 9 -noreset -nolisten tcp -screen 0 "$rig_xvfb_screen" "$@" \
        9> "$rig_xvfb_folder/display" > "$rig_xvfb_folder/xvfb.log" 2>&1 &
    rig_xvfb_pid=$!
    rig_tries=0
    until [ -s "$rig_xvfb_folder/display" ]; do
        if ! kill -0 "$rig_xvfb_pid" 2> /dev/null || [ $rig_tries -ge 300 ]; then
            echo "$rig_name: Xvfb did not start: $(tail -n 1 "$rig_xvfb_folder/xvfb.log")" >&2
            return 1
        fi
        sleep 0.1
        rig_tries=$((rig_tries + 1))
    done
    DISPLAY=:$(head -n 1 "$rig_xvfb_folder/display")
    export DISPLAY
}
rig_xvfb_stop() {
    [ -z "${rig_xvfb_pid:-}" ] || { kill "$rig_xvfb_pid" 2> /dev/null; wait "$rig_xvfb_pid" 2> /dev/null; }
    rig_xvfb_pid=
    return 0
}

# wine for the rigs: the given prefix, wine.env's settings, and no display unless set afterwards.
rig_wine_env() { # prefix
    rig_need wine wine
    export WINEPREFIX="$1" DISPLAY=
    while IFS= read -r rig_setting; do
        export "$rig_setting"
    done < "$rig_dir/wine.env"
}
