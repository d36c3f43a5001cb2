#!/usr/bin/env bash
# tools/install-deps against a stand-in apt (apt-get, apt-cache, dpkg-query and clang on PATH that
# only answer): a system it does not know gets one line naming the supported ones and nothing is
# installed; a release without a package names it and what it is for; the libFuzzer runtime's
# name follows the release's clang.
set -uo pipefail
install_deps=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

mkdir "$scratch/bin"
# Every package counts as missing; apt-cache knows all but those in $scratch/lacking and says
# which clang the release's clang package brings; apt-get records what it was asked to install.
cat > "$scratch/bin/dpkg-query" << 'FAKE'
#!/bin/sh
exit 1
FAKE
cat > "$scratch/bin/apt-cache" << 'FAKE'
#!/bin/sh
case "$1" in
    depends) echo "clang"; echo "  Depends: clang-$FAKE_CLANG" ;;
    show) ! grep -qxF "$2" "$FAKE_LACKING" || exit 100; echo "Package: $2" ;;
esac
FAKE
cat > "$scratch/bin/apt-get" << 'FAKE'
#!/bin/sh
for argument in "$@"; do [ "$argument" != install ] || echo "$*" >> "$FAKE_INSTALLED"; done
exit 0
FAKE
chmod 755 "$scratch/bin"/*

# name | os-release | purposes | lacking | exit | one line on standard error (or - for none) | installs (or -)
while IFS='|' read -r name release purposes lacking want_status want_line want_installs; do
    printf '%b' "$release" > "$scratch/os-release"
    printf '%s\n' $lacking > "$scratch/lacking"
    : > "$scratch/installed"
    # shellcheck disable=SC2086
    env PATH="$scratch/bin:/usr/bin:/bin" LUMARO_OS_RELEASE="$scratch/os-release" FAKE_CLANG=19 \
        FAKE_LACKING="$scratch/lacking" FAKE_INSTALLED="$scratch/installed" \
        bash "$install_deps" $purposes > "$scratch/out" 2> "$scratch/err"
    status=$?
    problem=
    [[ $status -eq $want_status ]] || problem+=" exit $status, expected $want_status;"
    if [[ $want_line == - ]]; then
        [[ ! -s $scratch/err ]] || problem+=" said: $(cat "$scratch/err");"
    elif [[ $(wc -l < "$scratch/err") -ne 1 || $(cat "$scratch/err") != *"$want_line"* ]]; then
        problem+=" said: $(cat "$scratch/err"), expected one line with: $want_line;"
    fi
    if [[ $want_installs == - ]]; then
        [[ ! -s $scratch/installed ]] || problem+=" installed: $(cat "$scratch/installed");"
    elif ! grep -qw -- "$want_installs" "$scratch/installed"; then
        problem+=" installed: $(cat "$scratch/installed"), expected $want_installs among them;"
    fi
    if [[ -n $problem ]]; then
        echo "FAIL $name:$problem"
        failures=$((failures + 1))
    else
        echo "PASS $name"
    fi
done << 'CASES'
Ubuntu 24.04|ID=ubuntu\nVERSION_ID="24.04"\nPRETTY_NAME="Ubuntu 24.04 LTS"\n|build||1|this is Ubuntu 24.04 LTS; the scripts install what they need on Debian 12 (bookworm) and Debian 13 (trixie) only|-
Debian 11|ID=debian\nVERSION_ID="11"\nPRETTY_NAME="Debian GNU/Linux 11 (bullseye)"\n|build test||1|this is Debian GNU/Linux 11 (bullseye); the scripts install what they need on Debian 12|-
no os-release||build||1|this is unknown; the scripts install|-
Debian 13, sanitize: clang 19's runtime|ID=debian\nVERSION_ID="13"\nPRETTY_NAME="Debian GNU/Linux 13 (trixie)"\n|sanitize||0|-|libclang-rt-19-dev
Debian 13 without hidapi|ID=debian\nVERSION_ID="13"\nPRETTY_NAME="Debian GNU/Linux 13 (trixie)"\n|build|libhidapi-dev|1|Debian GNU/Linux 13 (trixie) has no package libhidapi-dev (building the updater)|-
Debian 12 without sway|ID=debian\nVERSION_ID="12"\nPRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\n|build test|sway|1|has no package sway (the title bar's test under Wayland (sway))|-
CASES
[[ $failures -eq 0 ]]
