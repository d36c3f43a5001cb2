#!/bin/sh
# Runs a rig's test when what it needs is here. Each need is WHAT=HOW: a command and the Debian
# package that brings it, a file (absolute path) and what makes it, "gadget-kernel" and its
# package, or "root" and why: a test that acts as other accounts runs through sudo when not root
# (./check has asked for the password up front). Anything missing skips the test (77) or, under
# ./check, fails it (see rig.sh).
#
#   gate.sh NEED... -- COMMAND...
set -eu
rig_dir=$(cd "$(dirname "$0")" && pwd)
# Messages name the test, not this gate.
rig_name=$(printf '%s\n' "$@" | sed -n '/^--$/ { n; s|.*/||p; q; }')
. "$rig_dir/rig.sh"
. "$rig_dir/vm.sh"
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case "${1%%=*}" in
        gadget-kernel) vm_find_kernel ;;
        root) [ "$(id -u)" -eq 0 ] || rig_as_root=${1#*=} ;;
        /*) [ -e "${1%%=*}" ] || rig_missing "${1%%=*} is missing (${1#*=})" ;;
        *) rig_need "${1%%=*}" "${1#*=}" ;;
    esac
    shift
done
[ $# -gt 1 ] || { echo "usage: gate.sh NEED... -- COMMAND..." >&2; exit 2; }
shift
if [ -n "${rig_as_root:-}" ]; then
    sudo -n true 2> /dev/null || rig_missing "needs root, or sudo without a prompt ($rig_as_root)"
    # -E: the test's settings (the platform plugin, the sanitizers' options) go with it.
    exec sudo -n -E "$@"
fi
exec "$@"
