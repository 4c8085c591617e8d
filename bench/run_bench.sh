#!/bin/bash
# Runs every benchmark under Wine, prints one table of the figures, and writes
# it with the Wine version and the date to docs/benchmarks.md, with the
# latency distribution drawn as docs/latency.png (needs gnuplot).
#
# usage: bench/run_bench.sh <bin-dir> [<wineprefix>]
#
#   <bin-dir>     the folder with brackwyn.dll, bench_child.exe and the
#                 bench_*.exe programs (the build's runtime output folder)
#   <wineprefix>  the Wine prefix to run in; made if missing. Default:
#                 $WINEPREFIX, else ~/.wine
#
# BENCH_REPS=N runs N repetitions of each figure instead of each program's
# own count: BENCH_REPS=1 for a quick look (it still rewrites the docs).
# Every program's per-repetition figures go to <bin-dir>/bench.log.
set -u

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 <bin-dir> [<wineprefix>]" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
bin=$(cd "$1" && pwd) || exit 2
prefix=${2:-${WINEPREFIX:-$HOME/.wine}}
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
docs=$root/docs
reps=${BENCH_REPS:-}
log=$bin/bench.log

figures="bench_throughput bench_latency bench_idle bench_abort bench_runs"
for program in brackwyn.dll bench_child.exe bench_selftest.exe bench_launch_costs.exe; do
    [ -f "$bin/$program" ] || { echo "run_bench: $bin/$program is missing; build first" >&2; exit 1; }
done
for figure in $figures; do
    [ -f "$bin/$figure.exe" ] || { echo "run_bench: $bin/$figure.exe is missing; build first" >&2; exit 1; }
done

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No Mono or Gecko prompt in a fresh prefix: nothing here needs them.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

# A prefix that exists is used as it is: the project's setup script starts
# over in any prefix without its own stamp, and this may be someone's ~/.wine.
if [ ! -f "$prefix/system.reg" ]; then
    if [ -x "$root/cmake/wineprefix-setup.sh" ]; then
        "$root/cmake/wineprefix-setup.sh" "$prefix" || exit 1
    else
        wineboot -i </dev/null >/dev/null 2>&1
        # The null driver gives windows a message queue without an X server.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
        wineserver -w
    fi
fi

# Whether a Wine server already runs for this prefix (make's own session,
# or someone's programs): that one is left running at the end.
server_running() {
    local pid
    for pid in $(pgrep -x wineserver64; pgrep -x wineserver); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
            return 0
        fi
    done
    return 1
}

# One Wine session for every program instead of one started and torn down
# per program, which would put Wine's own start-up into the first figures.
# The project's session script also keeps Wine's background processes from
# holding our output open, and its stop ends whatever a stopped (timed out)
# figure left behind in the prefix.
session=$root/cmake/wine-session.sh
work=$(mktemp -d)
cleanup='rm -rf "$work"'
if [ -x "$session" ]; then
    server_running || cleanup="\"\$session\" stop \"\$prefix\"; $cleanup"
    "$session" start "$prefix"
else
    wineserver -p 10 </dev/null >/dev/null 2>&1 || true
fi
trap "$cleanup" EXIT
: >"$log"

# Runs one program in the scratch folder, stdout to $2, stderr to the log.
# A hung figure (an abort that never returns, say) is stopped rather than
# holding up the whole run.
run() {
    local program=$1 output=$2
    shift 2
    echo "== $program $*" >>"$log"
    (cd "$work" && timeout -k 10 240 wine "$bin/$program.exe" "$@" </dev/null >"$output" 2>>"$log")
}

echo "run_bench: checking the instruments (bench_selftest)" >&2
if ! run bench_selftest "$work/selftest.txt"; then
    cat "$work/selftest.txt" >&2
    echo "run_bench: the self-test failed; no figure would mean anything" >&2
    exit 1
fi

rows=$work/rows.md
: >"$rows"
failed=0
for figure in $figures; do
    echo "run_bench: $figure" >&2
    start=$SECONDS
    if run "$figure" "$work/$figure.md" $reps && grep -q '^|' "$work/$figure.md"; then
        cat "$work/$figure.md" >>"$rows"
    else
        failed=1
        echo "| $figure | failed | | see bench.log | | **no** |" >>"$rows"
    fi
    echo "run_bench: $figure took $((SECONDS - start)) s" >&2
done
echo "run_bench: bench_launch_costs" >&2
if ! run bench_launch_costs "$work/launch.md" $reps; then
    failed=1
    echo "bench_launch_costs failed; see bench.log" >"$work/launch.md"
fi

header='| figure | library | baseline | ratio or detail | goal | met |
|---|---:|---:|---|---|---|'
wine_version=$(wine --version 2>/dev/null)
today=$(date -u +%Y-%m-%d)
cpu=$(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | sed 's/.*: //')

echo
echo "brackwyn benchmarks, $wine_version, $today, $(nproc) cores"
echo
echo "$header"
cat "$rows"
echo
echo "Where the start of a run goes:"
echo
cat "$work/launch.md"
echo
echo "Per-repetition figures: $log"

mkdir -p "$docs"
plotted=0
if command -v gnuplot >/dev/null 2>&1 && [ -s "$work/latency-library.dat" ]; then
    (cd "$work" && gnuplot) <<EOF && plotted=1
set terminal pngcairo size 1100,480 font ",10" noenhanced
set output '$docs/latency.png'
set multiplot layout 1,2 title "Relay latency, child write to delivery: every record of every repetition ($wine_version, $today)"
set logscale x
set grid
set xlabel "latency (microseconds)"
set arrow 1 from graph 0, first 0.5 to graph 1, first 0.5 nohead dashtype 2 lc rgb "gray40"
set label 1 "p50" at graph 0.02, first 0.53
set key bottom right
set title "distribution"
set ylabel "fraction delivered within"
set yrange [0:1]
plot 'latency-library.dat' using 1:2 with lines lw 2 lc rgb "#1f77b4" title "brackwyn output callback", \
     'latency-raw.dat' using 1:2 with lines lw 2 lc rgb "#d62728" title "raw pipe reader thread"
# The tail, where p99 is judged: the share of records slower than x.
unset arrow 1
unset label 1
set title "tail"
set ylabel "fraction slower (log scale)"
set logscale y
set yrange [0.0002:1]
set arrow 2 from graph 0, first 0.01 to graph 1, first 0.01 nohead dashtype 2 lc rgb "gray40"
set label 2 "p99" at graph 0.02, first 0.013
set key top right
plot 'latency-library.dat' using 1:(1-\$2) with lines lw 2 lc rgb "#1f77b4" title "brackwyn output callback", \
     'latency-raw.dat' using 1:(1-\$2) with lines lw 2 lc rgb "#d62728" title "raw pipe reader thread"
unset multiplot
EOF
fi
if [ $plotted -eq 0 ]; then
    echo "run_bench: latency plot not drawn (is gnuplot installed? Debian: gnuplot-nox)" >&2
fi

{
    echo "# Benchmarks"
    echo
    echo "Measured by \`make bench\` (\`bench/run_bench.sh\`) on $today with $wine_version,"
    echo "$(nproc) cores${cpu:+ ($cpu)}. The file is rewritten by every run."
    echo
    echo "$header"
    cat "$rows"
    echo
    cat <<'EOF'
Each program runs the library and its raw baseline within one process. On a
shared machine absolute figures drift by a factor of several from one minute
to the next, so the figures that have a baseline are judged by a ratio taken
within one repetition, whose runs go library, baseline, baseline, library;
the table shows the median ratio over the repetitions with its range, and the
medians of the library's and the baseline's own figures, which need not come
from the same repetition. The latency figure runs both sides at once instead.

1. **Throughput.** The child writes 64 MiB in 64 KiB `WriteFile` calls. The
   library delivers it to an output callback that counts bytes; the baseline
   starts the same child with a plain inheritable pipe and reads it with a
   loop of 1024-byte `ReadFile` calls. Both spans run from the start of the
   child to its end. Under Wine every pipe read and write is a request to
   `wineserver`, which is why both sides are slow and share one limit.
2. **Relay latency.** The child writes 2000 records of 32 bytes about 1 ms
   apart, each stamped with `QueryPerformanceCounter` just before its write;
   the consumer reads the counter when the chunk arrives. The counter is one
   for the whole machine (under Wine it is the host's `CLOCK_MONOTONIC_RAW`
   in 100 ns units), which `bench_selftest` checks: a child's stamp always
   falls between the host's readings before starting it and after reading
   its output. The baseline is a host thread reading a plain pipe from a
   second copy of the child. Both run at the same time, told one start
   instant (the second child half a gap later, taking turns), so that a
   stall of the machine lands on both sides of a repetition alike; run one
   after the other, the p99 of either side moved by a factor of several
   from one run to the next.
3. **Idle cost.** `GetProcessTimes` of the host before and after
   `dllglue_main` of a child that sleeps 3 s; the start and end of the run
   are included. The baseline is a raw host with one reader thread. Under
   Wine this counter advances in 10 ms steps, so a single reading of 0, 10
   or 20 ms means one step either way.
4. **Abort latency.** From the call of `dllglue_abort`, 50 ms after the child
   reported that it runs, to the return of `dllglue_main`; from a `WM_TIMER`
   handler of a window on the thread inside `dllglue_main`, and from another
   thread. The baseline is `TerminateProcess`, then waiting for the child's
   end and for a reader thread to see its pipe break.
5. **Runs per second.** `dllglue_main` of a child that exits at once, against
   `CreateProcess` of the same child with no redirection and no console of
   its own, `WaitForSingleObject` and `CloseHandle`, ten runs a block.

## Where the start of a run goes

`bench_launch_costs` starts the same exiting child with one ingredient of the
library's launch at a time added to the plain start of figure 5, then the two
that cost more together than apart, then all of them, with two other ways to
keep a console out of sight, and through the library. Each extra is a
difference within one repetition; the last column is how long after the
child's end its pipes broke, which is the earliest a run can end.

EOF
    cat "$work/launch.md"
    echo
    cat <<'EOF'
Under Wine a console of the child's own is a process of its own:
`CREATE_NEW_CONSOLE` makes the child start a `conhost.exe`, and Wine starts it
with handle inheritance on, so the console host holds copies of the child's
pipe ends: the pipes break the moment it exits, not when the child does. A
child that exits at once leaves its console host still starting up, and its
pipes break only when that process has come up and gone again.
That wait, not the library's own work, is most of the gap in figure 5; for a
child that runs a few hundred milliseconds it shrinks to a millisecond or two.
`CREATE_NO_WINDOW` starts a headless console host, which comes and goes
sooner; `DETACHED_PROCESS` starts none, but leaves the child without a
console, so on Windows every console program the child starts would open a
window of its own. A console-less host under Wine starts a plain console
child without any console, where Windows would open a window for it.
EOF
    if [ $plotted -eq 1 ]; then
        echo
        echo "## Latency distribution"
        echo
        echo "Every record of every repetition, library and baseline:"
        echo
        echo "![relay latency distribution](latency.png)"
    fi
} >"$docs/benchmarks.md"
if [ $plotted -eq 1 ]; then
    echo "run_bench: wrote $docs/benchmarks.md and $docs/latency.png" >&2
else
    echo "run_bench: wrote $docs/benchmarks.md" >&2
fi
exit $failed
