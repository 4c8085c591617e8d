#!/bin/sh
# Runs a Windows program under Wine for the build and test loop.
#
# usage: wine-run.sh [--prefix DIR] PROGRAM.exe [ARGS...]
#
# ctest discovers and runs tests through this script, and the discovery step
# does not see the per-test environment, so the prefix travels as an argument.
# Wine's own chatter (missing wine32, fixme lines) is silenced unless the
# caller asked for it with WINEDEBUG.
set -e
if [ "$1" = "--prefix" ]; then
    WINEPREFIX=$2
    export WINEPREFIX
    shift 2
fi
: "${WINEDEBUG:=-all}"
export WINEDEBUG
exec wine "$@"
