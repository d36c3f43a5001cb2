#!/usr/bin/env bash
# Fails when a program built with a vendor image links anything of the simulator or of the test
# bus: the controller model, the in-memory bus and its latency model, the demo's bus, the fault
# injection. NM is the nm of the program's toolchain; PROGRAM may be a stripped program's separate
# debug file.
#   tests/app/no-simulator-symbols.sh NM PROGRAM
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: tests/app/no-simulator-symbols.sh NM PROGRAM" >&2; exit 2; }
nm_tool=$1
program=$2

symbols=$("$nm_tool" -C "$program") || { echo "no-simulator-symbols: $nm_tool cannot read $program" >&2; exit 1; }
# A table without the window's own code, or without the platform's HID access, is not the
# vendor program's, and finding nothing in it would prove nothing.
for expected in 'Widget::_DownLoad_Firmware_Data' 'createPlatformHidAccess'; do
    if ! grep -q -- "$expected" <<< "$symbols"; then
        echo "no-simulator-symbols: FAIL $program has no symbol $expected: not a vendor program's symbol table" >&2
        exit 1
    fi
done

pattern='VirtualController|VirtualHidBus|VirtualHidAccess|LatencyModel|createDemoBus'
pattern+='|failWrite|failRead|neverAnswerRead|unplugAtTransfer|garbageReply|failStringRequest'
found=$(grep -E -- "$pattern" <<< "$symbols" || true)
if [[ -n $found ]]; then
    echo "no-simulator-symbols: FAIL $program links $(wc -l <<< "$found") simulator symbols, among them:" >&2
    head -n 15 <<< "$found" >&2
    exit 1
fi
echo "no-simulator-symbols: PASS $program: $(wc -l <<< "$symbols") symbols, none matching $pattern"
