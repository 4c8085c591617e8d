#!/bin/sh
# Runs a Windows program under Wine for the build and test loop.
#
# usage: wine-run.sh [--prefix DIR] [--capture] PROGRAM.exe [ARGS...]
#
# ctest discovers and runs tests through this script, and the discovery step
# does not see the per-test environment, so the prefix travels as an argument.
# Wine's own chatter (missing wine32, fixme lines) is silenced unless the
# caller asked for it with WINEDEBUG.
#
# --capture: the program's output goes to files first and is printed when it
# has ended. The first program that opens a window starts Wine's desktop
# process, which inherits that program's stdout and stderr and keeps them open
# until the desktop has been idle for a while; under a busy ctest that is
# minutes, and ctest would wait for the pipes all that time. A file held open
# by the desktop stalls nobody. Not for the demo, whose point is live output.
set -e
if [ "$1" = "--prefix" ]; then
    WINEPREFIX=$2
    export WINEPREFIX
    shift 2
fi
: "${WINEDEBUG:=-all}"
export WINEDEBUG
if [ "$1" != "--capture" ]; then
    exec wine "$@"
fi
shift
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
set +e
wine "$@" >"$out" 2>"$err"
status=$?
set -e
cat "$out"
cat "$err" >&2
exit $status
