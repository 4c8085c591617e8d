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
#
# `wineserver -k` ends only the processes the server can signal, and it learns
# a process's Unix pid from the process's first request. One it
# ends before then (a run's job terminated while the child's console host is
# still coming up: Wine starts conhost.exe from inside the child, so it is in
# the job) loses its server connection but gets no signal, and sleeps forever
# waiting for the server's answer, holding whatever output it inherited. No
# server knows it any more, so `stop` finds such leftovers by their prefix.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
fi

WINEPREFIX=$2
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG

# Ends the Wine processes of this prefix that survived its server. Only Wine's
# own programs count: a shell that merely has WINEPREFIX set is left alone.
end_orphans() {
    [ -d "$WINEPREFIX" ] || return 0
    own=$(cd "$WINEPREFIX" && pwd -P)
    for dir in /proc/[0-9]*; do
        case $(readlink "$dir/exe" 2>/dev/null) in
        */wine | */wine64 | */wine-preloader | */wine64-preloader | */wineserver*) ;;
        *) continue ;;
        esac
        prefix=$(tr '\0' '\n' <"$dir/environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
        [ -n "$prefix" ] && [ -d "$prefix" ] || continue
        [ "$(cd "$prefix" && pwd -P)" = "$own" ] || continue
        printf 'wine-session: ending %s(pid %s), left behind by its server\n' \
            "$(tr '\0' ' ' <"$dir/cmdline" 2>/dev/null)" "${dir#/proc/}" >&2
        kill -9 "${dir#/proc/}" 2>/dev/null || true
    done
}

case $1 in
start)
    # A server that runs already (an earlier session within its persistence,
    # a program still open) refuses a second one with status 2: the session
    # uses that one, and a missing Wine still fails below.
    wineserver -p120 </dev/null >/dev/null 2>&1 || true
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
stop)
    if command -v wineserver >/dev/null 2>&1 && [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
    fi
    end_orphans
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
