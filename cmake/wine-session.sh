#!/bin/sh
# Starts or stops the Wine session that a batch of runs (ctest, the demo,
# the benchmarks) shares.
#
# usage: wine-session.sh start|stop PREFIX
#
# The first Windows program of a session also starts Wine's background
# processes (services.exe, winedevice.exe, rpcss.exe, ...), and they inherit
# that program's Unix stdout and stderr. Were that a test, ctest would wait
# for those streams to close, which happens only when the session ends: a
# test or a gtest discovery step would sit until its timeout. So `start`
# brings the session up with a do-nothing program whose streams go to
# /dev/null, and keeps its server alive (-p) so the background processes
# outlive every test. `stop` ends the server and with it every process of the
# prefix, so that no daemon holds a CI job's output open; the persistence is
# bounded too, for a run that is interrupted before `stop`.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
fi

WINEPREFIX=$2
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG

case $1 in
start)
    wineserver -p120 </dev/null >/dev/null 2>&1
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
stop)
    if command -v wineserver >/dev/null 2>&1 && [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
    fi
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
