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
#
# A program that fails without printing a single byte never ran its own code
# (every test program and probe prints something first): Wine gave up or was
# ended while starting it. With --capture such a run is said so, with Wine's
# exit status, and made once more with Wine's error messages on (err+all,
# unless the caller chose channels of their own); when that one fails too,
# the tail of Wine's messages follows. One retry, said out loud (make test
# lists these notices at its end), so that a start-up hiccup of Wine neither
# fails CI at random nor goes unnoticed.
set -e
if [ "$1" = "--prefix" ]; then
    WINEPREFIX=$2
    export WINEPREFIX
    shift 2
fi
: "${WINEDEBUG:=-all}"
export WINEDEBUG
loud=$WINEDEBUG
if [ "$WINEDEBUG" = -all ]; then
    # Leading -all keeps Debian's wrapper from hinting at wine32 again.
    loud=-all,err+all
fi
if [ "$1" != "--capture" ]; then
    exec wine "$@"
fi
shift
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err" "$err.wine"' EXIT

# How Wine ended, in words: the shell reports a signal as 128 + its number.
describe() {
    if [ "$1" -gt 128 ] && [ "$1" -lt 160 ]; then
        echo "status $1 (killed by signal $(($1 - 128)))"
    else
        echo "status $1"
    fi
}

set +e
wine "$@" >"$out" 2>"$err"
status=$?
# The shell's own "Killed" for a killed wine is not the program's output.
if [ $status -ne 0 ] && [ ! -s "$out" ] && ! grep -qv '^Killed$' "$err"; then
    echo "wine-run: '$*' printed nothing and Wine ended with $(describe $status);" \
        "running it once more (WINEDEBUG=$loud)" >&2
    WINEDEBUG=$loud wine "$@" >"$out" 2>"$err.wine"
    status=$?
    # Wine's own lines ("0024:err:...", "wine: ...") apart from the program's.
    grep -Ev '^[0-9a-f]{4}:(err|fixme|warn|trace):|^wine(server)?: ' "$err.wine" >"$err"
    if [ $status -ne 0 ]; then
        echo "wine-run: the second run ended with $(describe $status) too;" \
            "Wine's last messages:" >"$err.tail"
        grep -E '^[0-9a-f]{4}:(err|fixme|warn|trace):|^wine(server)?: ' "$err.wine" |
            tail -n 20 >>"$err.tail"
        cat "$err.tail" >>"$err"
        rm -f "$err.tail"
    else
        echo "wine-run: the second run went through" >>"$err"
    fi
fi
set -e
cat "$out"
cat "$err" >&2
exit $status
