#!/usr/bin/env bash
# What ./check counts as a stage that ran short, from logs as the stages write them, and sudo
# inside a stage: under ./check it never asks, and says why it cannot go on; a test that needs root
# runs through sudo when sudo does not ask.
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
cat > "$scratch/bin/sudo" << EOF
#!/bin/sh
echo "sudo \$*" >> "$scratch/sudo.calls"
[ -e "$scratch/sudo.cached" ] || [ "\$1" != -n ] || exit 1
while [ "\${1#-}" != "\$1" ]; do shift; done
exec "\$@"
EOF
chmod +x "$scratch/bin/id" "$scratch/bin/sudo"
message=$(PATH=$scratch/bin:$PATH LUMARO_RIGS_REQUIRED=1 sh -c '. "$1/rig.sh"; rig_apt install x' rig "$rig_dir" 2>&1)
expect "under ./check, sudo that wants a password fails at once" \
    "rig: sudo needs a password: run ./check from a terminal (it asks once, up front)|sudo -n true" \
    "$message|$(cat "$scratch/sudo.calls")"

printf '#!/bin/sh\necho "ran with $QT_QPA_PLATFORM"\n' > "$scratch/TestAsRoot"
chmod +x "$scratch/TestAsRoot"
as_root() { # LUMARO_RIGS_REQUIRED
    rm -f "$scratch/sudo.calls"
    PATH=$scratch/bin:$PATH LUMARO_RIGS_REQUIRED=$1 QT_QPA_PLATFORM=offscreen \
        sh "$rig_dir/gate.sh" "root=it acts as another account" -- "$scratch/TestAsRoot" 2>&1
    echo "exit $?|$(cat "$scratch/sudo.calls")"
}
refusal="TestAsRoot: needs root, or sudo without a prompt (it acts as another account)"
expect "a test that needs root skips by hand when sudo would ask" "$refusal
exit 77|sudo -n true" "$(as_root 0)"
expect "and fails under ./check" "$refusal
exit 1|sudo -n true" "$(as_root 1)"
touch "$scratch/sudo.cached"
expect "and runs through sudo, with its settings, when sudo does not ask" "ran with offscreen
exit 0|sudo -n true
sudo -n -E $scratch/TestAsRoot" "$(as_root 1)"

echo "$((6 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
