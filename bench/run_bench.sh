#!/bin/bash
# Runs every benchmark under Wine, prints one table of the figures, and writes
# it with the Wine version and the date to docs/benchmarks.md, with the
# latency distribution drawn as docs/latency.png and throughput against read
# size as docs/read-sizes.png (both need gnuplot).
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
#
# BENCH_COMPARE_DLL=<path to another build's brackwyn.dll> adds a row to
# figure 5 that compares this build with that one, run by run in the same
# process; BENCH_COMPARE_NAME names it (default "other").
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

figures="bench_throughput bench_latency bench_idle bench_abort bench_runs bench_concurrent bench_stop bench_text bench_input bench_host_thread bench_terminal"
for program in brackwyn.dll bench_child.exe bench_term_child.exe bench_selftest.exe bench_launch_costs.exe \
    bench_read_sizes.exe; do
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

# The other build loads beside ours under a name of its own.
if [ -n "${BENCH_COMPARE_DLL:-}" ]; then
    compare="$work/brackwyn-${BENCH_COMPARE_NAME:-other}.dll"
    cp "$BENCH_COMPARE_DLL" "$compare" || exit 1
    BENCH_COMPARE_DLL=$(winepath -w "$compare" 2>/dev/null) || exit 1
    export BENCH_COMPARE_DLL
fi

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
echo "run_bench: bench_read_sizes" >&2
start=$SECONDS
if ! run bench_read_sizes "$work/read-sizes.md" $reps; then
    failed=1
    echo "bench_read_sizes failed; see bench.log" >"$work/read-sizes.md"
fi
echo "run_bench: bench_read_sizes took $((SECONDS - start)) s" >&2

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
echo "Throughput against read size:"
echo
cat "$work/read-sizes.md"
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
# read-sizes.dat: one block per curve ("KiB median min max"), then the
# library's point and its launch by hand's (drawn a little to the right).
sizes_plotted=0
if command -v gnuplot >/dev/null 2>&1 && [ -s "$work/read-sizes.dat" ]; then
    (cd "$work" && gnuplot) <<EOF && sizes_plotted=1
set terminal pngcairo size 900,520 font ",10" noenhanced
set output '$docs/read-sizes.png'
set title "Throughput of 64 MiB written in 64 KiB blocks, against the size of each read\n(median of the repetitions, bars: range; $wine_version, $today)"
set logscale x 2
set xrange [0.7:1500]
set xtics ("1" 1, "4" 4, "16" 16, "64" 64, "256" 256, "1024" 1024)
set grid
set xlabel "bytes per ReadFile call (KiB)"
set ylabel "MB/s, from the child's start to its end"
set yrange [0:*]
set key top left
plot 'read-sizes.dat' index 0 using 1:2:3:4 with yerrorlines lw 2 pt 5 lc rgb "#d62728" title "raw loop, pipe buffer of the library's size", \
     '' index 1 using 1:2:3:4 with yerrorlines lw 2 dt 2 pt 4 lc rgb "#ff7f0e" title "raw loop, pipe buffer as large as the read", \
     '' index 2 using 1:2:3:4 with yerrorbars lw 2 pt 7 ps 1.8 lc rgb "#1f77b4" title "brackwyn (dllglue_main) at its read size", \
     '' index 3 using (\$1*1.12):2:3:4 with yerrorbars lw 2 pt 9 ps 1.6 lc rgb "#2ca02c" title "the library's launch by hand, raw reads of its size"
EOF
fi
if [ $sizes_plotted -eq 0 ]; then
    echo "run_bench: read-size plot not drawn (is gnuplot installed? Debian: gnuplot-nox)" >&2
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
Each program runs the library and its raw baselines within one process. On a
shared machine absolute figures drift by a factor of several from one minute
to the next, so the figures that have a baseline are judged by a ratio taken
within one repetition, whose runs go through every side once and then back
again (library, baseline, baseline, library for two sides); the table shows
the median ratio over the repetitions with its range, and the medians of each
side's own figures, which need not come from the same repetition. The latency
figure runs both sides at once instead.

The raw baselines read with the library's own sizes (`engine/os/sizes.h`): reads
of `kReadSize` bytes from pipes of `kPipeBuffer` bytes, both 256 KiB (see
"Read size" below for why).

1. **Throughput.** The child writes 64 MiB in 64 KiB `WriteFile` calls. The
   library delivers it to an output callback that counts bytes. The baseline
   starts the same child with a plain inheritable pipe and reads it with a
   loop of `ReadFile` calls of the library's sizes: the most any reader of
   those sizes gets. Two more rows: the library's launch done by hand
   (`bench/bench_launch.h`: three pipes, a hidden console of the child's own,
   a suspended start, a job, two reader threads and a watcher) with the same
   raw reads, and a loop of 1024-byte reads on a pipe of the system's default
   size, which is how the library read before. Every span runs from the start
   of the child to its end. Under Wine every pipe read and write is a request
   to `wineserver`, which the writing child waits on too, so fewer, larger
   reads speed up both ends.
   **What holds it back:** the library is as fast as its own launch done
   by hand; what it lacks against the plain loop is the child's console.
   Under Wine that console is a `conhost.exe` process that starts beside the
   child, and its start-up competes with the child and `wineserver` for the
   two cores. Measured by hand on 2026-12-09 (median of 10), the library's
   launch with and without `CREATE_NEW_CONSOLE` took 296 and 216 ms for the
   64 MiB, the pipes breaking 4 and 1 ms after the child's end, and 180 and
   64 ms for a child that writes nothing. That is a fixed cost of every run,
   a quarter of a 64 MiB run at 250 MB/s, and the subject of figure 5; the
   relay itself keeps up with the raw reads.
2. **Relay latency.** The child writes 2000 records of 32 bytes about 1 ms
   apart, each stamped with `QueryPerformanceCounter` just before its write;
   the consumer reads the counter when the chunk arrives. The counter is one
   for the whole machine (under Wine it is the host's `CLOCK_MONOTONIC_RAW`
   in 100 ns units), which `bench_selftest` checks: a child's stamp always
   falls between the host's readings before starting it and after reading
   its output. The baseline is a host thread reading a plain pipe from a
   second copy of the child with reads of the library's size: a read returns
   as soon as any byte is there, so a large read must not delay a small
   write. Both run at the same time, told one start instant (the second
   child half a gap later, taking turns), so that a stall of the machine
   lands on both sides of a repetition alike; run one after the other, the
   p99 of either side moved by a factor of several from one run to the next.
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
5. **Runs per second.** `dllglue_main` of a child that exits at once, ten runs
   a block, against the library's launch done by hand with every ingredient
   and no more (as in figure 1), waiting until both pipes have broken. The
   plain start of the same child (`CreateProcess` with no redirection and no
   console of its own, `WaitForSingleObject`, `CloseHandle`) is shown as
   information: the difference is the console, explained below. Run with
   `BENCH_COMPARE_DLL` set to another build's `brackwyn.dll`, a row compares
   the two builds run by run.
6. **Host CPU per MiB relayed.** The host process's processor time in the
   runs of figure 1, per MiB, for the library and the plain raw loop. It
   includes the start of the run, which for the library means starting a
   child with a console of its own.
7. **Concurrent runs.** Eight runs started at once through the run interface,
   each child writing 16 MiB in 64 KiB writes: the aggregate rate relayed,
   from the first start to the last byte, against eight raw readers (an
   anonymous pipe each, 64 KiB reads on a thread of its own), whose children
   start with the library's ingredients (hidden console of their own,
   suspended, in a job) so that launches weigh alike on both sides.
8. **Concurrency.** Runs per second of the exiting child with four runs in
   flight against one at a time, twelve runs each: what running several at
   once buys while Wine's console host sets the pace of every launch.
9. **Memory.** The host's committed memory (`PagefileUsage`, which Wine
   fills) while 64 runs of a sleeping child are going, per run. Under Wine
   every thread costs a good part of it; each run has three.
10. **Stop latency.** From the call of `dllglue_runstop`, 50 ms after the
   child (whose Ctrl+C handler exits at once) reported that it runs, to the
   return of `dllglue_runwait`; twenty stops a side. The baseline delivers the
   Ctrl+C by hand the least a host can that must not attach its own console:
   a helper process attaches to the child's console, generates the event,
   waits for its own copy and detaches; it runs from the helper's start to the
   child's end and its pipe's break. The child has a hidden console of its own
   on both sides. Most of either span is starting the helper (the library's
   is `brackwyn-ctrlc.exe` beside the DLL, or the system's `rundll32` running
   this DLL when that is missing) and the event's trip through Wine's console
   host; the library adds the watcher's wake-up and the end of the run. The
   baseline's helper is this benchmark program itself, which loads the DLL
   and USER32 as it starts; the library's 16 KB helper loads neither.
11. **Text throughput.** The child writes 64 MiB of lines in 64 KiB writes,
   all ASCII, or UTF-8 German and Cyrillic lines between German lines in
   code page 437; the library relays them as merged UTF-8 lines
   (`DLLGLUE_TEXT_UTF8 | DLLGLUE_LINES | DLLGLUE_MERGE`, code page 437) to a
   callback that counts, against the same run in plain byte mode, from the
   start of the run to the end of its wait. Lines are about 64 bytes, so
   line mode makes some sixteen callbacks where byte mode makes one.
12. **Line latency.** Figure 2's stamping child, two copies at once: one run
   in line mode (each 32-byte record ends with its `\n`), one in plain byte
   mode. A line must reach the host as soon as its bytes would.
13. **Input throughput.** 256 MiB written to a child that reads its input in
   64 KiB reads and discards it: through `dllglue_runwrite` in 64 KiB calls
   (each copied into the run's queue, which the run's writer thread empties
   into the pipe), against a raw loop of the same 64 KiB `WriteFile` calls
   into the same kind of child (a hidden console of its own, started
   suspended in a job, its input an anonymous pipe of the library's buffer
   size). Both spans run from the child's start to its end; both children
   check that every byte came.
14. **A window during a flood.** A child floods a window's thread with 64 MiB
   while a 16 ms `WM_TIMER` ticks: the timer's lateness, the time a message
   another thread posts at each tick takes to be dispatched, and the time
   from invalidating the window at each tick to its `WM_PAINT`, p50 and p99
   over every tick of every repetition. Three sides: `DLLGLUE_HOST_THREAD`
   (callbacks on the window's thread, in turns), worker callbacks that copy
   and post each chunk to the window (the pattern it replaces), and the same
   window with no run at all.
15. **Host-thread throughput.** The same 64 MiB delivered on the host thread
   against worker delivery of the same run, with `chunkBytes` 64 KiB and 1024.
16. **A stalled host.** What the process holds for a run whose host takes
   nothing for 3 s, against a run whose worker callback stalls as long: the
   undelivered text is bounded by `maxPendingBytes`, and the program waits in
   its write.
17. **Terminal latency.** A child that prints with the C runtime's own
   buffered `printf` (as real programs do) stamps a line every 50 ms and
   never flushes; the time from its `printf` to the callback, in a terminal
   run (`DLLGLUE_TERMINAL`, text) against a pipe run in merged UTF-8 lines.
   Through the pipe the runtime holds the lines until the child ends.
18. **Terminal throughput.** The same child writes 100-byte lines in 64 KiB
   blocks: 500 KB through a terminal run, 16 MiB through a plain byte run,
   both as MB/s from the start of the run to the end of its wait. Wine's
   console host draws some 0.1 MB/s, so 16 MiB through the terminal would
   outlast the time a figure gets; the ratio is of the two rates.

## Where the start of a run goes

`bench_launch_costs` starts the same exiting child with one ingredient of the
library's launch at a time added to a plain `CreateProcess`, then the two
that cost more together than apart, then all of them (figure 5's baseline),
with two other ways to keep a console out of sight, and through the library.
Each extra is a difference within one repetition; the last column is how long
after the child's end its pipes broke, which is the earliest a run can end.

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
That wait, not the library's own work, is most of the gap between a run and
a plain `CreateProcess`; for a child that runs a few hundred milliseconds the
wait for the pipes shrinks to a millisecond or two, but the console host's
start-up still takes its share of the processor (figure 1).
`CREATE_NO_WINDOW` starts a headless console host, which comes and goes
sooner; `DETACHED_PROCESS` starts none, but leaves the child without a
console, so on Windows every console program the child starts would open a
window of its own. A console-less host under Wine starts a plain console
child without any console, where Windows would open a window for it.

## Read size

`bench_read_sizes` moves figure 1's 64 MiB with raw loops of every read size
from 1 KiB to 1 MiB, once from a pipe of the library's buffer size and once
from a pipe whose buffer is as large as the read, and with the library and
its launch by hand at the library's read size; each repetition runs every
variant once, every other repetition backwards. Megabytes a second, median
of the repetitions with the range:

EOF
    cat "$work/read-sizes.md"
    echo
    cat <<'EOF'
A read takes at most what the pipe holds, so read size and pipe buffer grow
together: a read larger than the pipe's buffer gains nothing. When the sizes
were chosen (2026-12-09), each step up to 256 KiB of both raised the rate,
and 1 MiB gained nothing more; a child writing 4 KiB blocks, bound by its own
writes, moved the same at every size. Each reader's buffer is one read on
the heap, 512 KiB a run. The library's point lies below the raw loop by the
cost of its console (figure 1), level with its launch by hand.
EOF
    if [ $sizes_plotted -eq 1 ]; then
        echo
        echo "![throughput against read size](read-sizes.png)"
    fi
    if [ $plotted -eq 1 ]; then
        echo
        echo "## Latency distribution"
        echo
        echo "Every record of every repetition, library and baseline:"
        echo
        echo "![relay latency distribution](latency.png)"
    fi
} >"$docs/benchmarks.md"
drawn=""
[ $plotted -eq 1 ] && drawn="$drawn $docs/latency.png"
[ $sizes_plotted -eq 1 ] && drawn="$drawn $docs/read-sizes.png"
echo "run_bench: wrote $docs/benchmarks.md$drawn" >&2
exit $failed
