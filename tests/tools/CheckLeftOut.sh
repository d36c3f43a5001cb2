#!/usr/bin/env bash
# What ./check counts as a stage that ran short, from logs as the stages write them, and sudo
# inside a stage: under ./check it never asks, and says why it cannot go on.
set -uo pipefail
left_out=$1 rig_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
expect() { # name expected actual
    if [[ $3 == "$2" ]]; then echo "ok   $1"; else echo "FAIL $1: '$3', expected '$2'"; failures=$((failures + 1)); fi
}

# Lines that merely contain the words do not count.
cat > "$scratch/clean.log" << 'EOF'
-- Check for working CXX compiler: /usr/bin/c++ - skipped
PASS   : TestDiscovery::otherInterfacesAreSkipped(foreign device)
100% tests passed, 0 tests failed out of 2
check-release: PASS lintian: no errors
EOF
cp "$scratch/clean.log" "$scratch/clean.build.ctest.log"
expect "a stage that ran everything" "" "$("$left_out" "$scratch" clean)"

cat > "$scratch/short.log" << 'EOF'
The following tests did not run:
	  3 - TestTitleBarWayland (Skipped)
	 12 - kernel_two_copies (Disabled)
check-release: SKIP Authenticode: no Qt for Windows to build the program with
EOF
printf '%s\n' 'SKIP   : TestSingleInstance::init() acting as another account needs root' \
    '  SKIP utf8: ANSI code page is 1252' 'SKIP utf8' > "$scratch/short.build-windows.ctest.log"
expect "every kind of skip, one line each" "ctest did not run TestTitleBarWayland (Skipped)
ctest did not run kernel_two_copies (Disabled)
the release check skipped Authenticode: no Qt for Windows to build the program with
a test skipped TestSingleInstance::init() acting as another account needs root
a Windows unit skipped utf8: ANSI code page is 1252" "$("$left_out" "$scratch" short)"

# sudo as a user whose sudo wants a password: the stand-ins say who they are and what was asked.
mkdir "$scratch/bin"
printf '#!/bin/sh\necho 1000\n' > "$scratch/bin/id"
printf '#!/bin/sh\necho "sudo $*" >> "%s/sudo.calls"\n[ "$1" != -n ]\n' "$scratch" > "$scratch/bin/sudo"
chmod +x "$scratch/bin/id" "$scratch/bin/sudo"
message=$(PATH=$scratch/bin:$PATH LUMARO_RIGS_REQUIRED=1 sh -c '. "$1/rig.sh"; rig_apt install x' rig "$rig_dir" 2>&1)
expect "under ./check, sudo that wants a password fails at once" \
    "rig: sudo needs a password: run ./check from a terminal (it asks once, up front)|sudo -n true" \
    "$message|$(cat "$scratch/sudo.calls")"

echo "$((3 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
