#!/bin/bash
# Drives gui-host.exe through its real window, the way a person would, and
# checks what the window shows.
#
# usage: run_gui_test.sh BIN_DIR WINEPREFIX OUT_PNG
#
#   BIN_DIR     folder holding gui-host.exe and brackwyn.dll
#   WINEPREFIX  the build's prefix; this test uses WINEPREFIX-x11 beside it
#   OUT_PNG     where the screenshot of the finished run goes
#
# The build's prefix uses Wine's null graphics driver, which has no screen to
# draw on. This test needs real drawing (the error text must really be red),
# so it keeps a prefix of its own with the default X11 driver and runs in a
# private Xvfb display. The window runs inside a Wine virtual desktop, so Wine
# draws the frame and title bar itself and no window manager is needed.
#
# Eight runs:
#   1. cmd writing output, then error text, then output again, the streams
#      kept apart (--separate): the pane holds all three lines, the error
#      line in red, and the status line shows result 1 and stderr seen 1.
#   2. cmd writing a line, then sleeping 30 s: Abort, pressed by a timer
#      1.5 s into the run, ends it within a few seconds with result 0. The
#      timer firing and the button answering show that the window keeps
#      working while the run lasts.
#   3. cmd writing 2000 lines as fast as it can: all of them reach the pane.
#   4. bw_child writing ANSI (1251) Cyrillic, then UTF-8 German and Cyrillic
#      with a line split between two writes, with --code-page 1251, then
#      sleeping a minute: the pane, read back with WM_GETTEXT, shows every
#      letter, one line each, and Stop, pressed 4 s into the run, ends it
#      within the grace by Ctrl+C. The screen is captured to OUT_PNG.
#   5. The same with OEM (437) German and UTF-8 Cyrillic, the OEM code page
#      given as 437.
#   6. bw_child echoing its input: a line typed and sent with the Send
#      button and a Cyrillic one typed and sent with Enter in the input line
#      come back in order, and Close input ends the program.
#   7. bw_child with a Ctrl+C handler that exits 3: Stop lets the handler run
#      and the status line tells that the program ended in the grace with 3.
#   8. --flood: the program writes 256 MiB as fast as it can; Stop, pressed
#      during the flood, ends it, and the status line counts what came. A
#      screenshot of the flood goes beside OUT_PNG (-flood.png).
#   9. gui-ticker, which prints a line every 300 ms with msvcrt's buffered
#      printf, with the Terminal check box on (--terminal): the pane's lines
#      arrive about 300 ms apart, as printed. A screenshot of it goes beside
#      OUT_PNG (-terminal.png).
#  10. The same without Terminal: through a pipe the C runtime holds the
#      lines, and they arrive together at the program's end.
set -euo pipefail

DESKTOP_SIZE=800x520
SCREEN='-screen 0 1024x768x24'

die() {
    echo "gui test: FAIL: $*" >&2
    exit 1
}

if [ "${1:-}" != --in-display ]; then
    if [ $# -ne 3 ]; then
        echo "usage: $0 BIN_DIR WINEPREFIX OUT_PNG" >&2
        exit 2
    fi
    for tool in wine:wine wineboot:wine wineserver:wine xvfb-run:xvfb xauth:xauth xwd:x11-apps \
        xwdtopnm:netpbm ppmhist:netpbm iconv:libc-bin od:coreutils; do
        command -v "${tool%%:*}" >/dev/null 2>&1 ||
            die "'${tool%%:*}' is missing (Debian package ${tool#*:})"
    done
    [ -f "$1/gui-host.exe" ] || die "no gui-host.exe in $1"
    [ -f "$1/brackwyn.dll" ] || die "no brackwyn.dll in $1"
    [ -f "$1/bw_child.exe" ] || die "no bw_child.exe in $1"
    [ -f "$1/gui-ticker.exe" ] || die "no gui-ticker.exe in $1"
    [ -f "$1/brackwyn-term.exe" ] || die "no brackwyn-term.exe in $1"
    mkdir -p "$(dirname "$3")"
    bin_dir=$(cd "$1" && pwd)
    prefix=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")-x11
    out_png=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
    exec xvfb-run -a -s "$SCREEN" bash "$0" --in-display "$bin_dir" "$prefix" "$out_png"
fi

bin_dir=$2
prefix=$3
out_png=$4
export WINEPREFIX=$prefix WINEDEBUG=-all
# No menu entries on the host and no Mono or Gecko prompts.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

work=$(mktemp -d)
# The project's session script ends the prefix's server and also the console
# hosts that Wine leaves behind when a run is stopped while one starts (the
# abort below can do that), which `wineserver -k` alone misses.
session=$(cd "$(dirname "$0")/../../cmake" && pwd)/wine-session.sh
cleanup() {
    # Ends this prefix's server and every Wine process left in it, so that
    # nothing outlives the display it drew on.
    "$session" stop "$prefix" || true
    rm -rf "$work"
}
trap cleanup EXIT

# A server left behind by an interrupted run would still point at its dead
# display.
"$session" stop "$prefix" || true
if [ ! -f "$prefix/.brackwyn-x11-ready" ]; then
    echo "gui test: creating the Wine prefix $prefix"
    rm -rf "$prefix"
    # Seen once on a fresh machine: the first wineboot gave up at once. Say
    # why, and try once more from scratch before failing.
    if ! wineboot -i </dev/null >"$work/wineboot.log" 2>&1; then
        echo "gui test: wineboot failed ($(tail -n 3 "$work/wineboot.log" | tr '\n' ' ')); once more"
        "$session" stop "$prefix" || true
        rm -rf "$prefix"
        wineboot -i </dev/null >"$work/wineboot.log" 2>&1 ||
            die "wineboot failed twice: $(tail -n 5 "$work/wineboot.log")"
    fi
    wineserver -w
    # Debian's Wine 8 looks for its own fonts in the wrong folder and finds
    # neither Tahoma nor Marlett (the title bar buttons' glyphs) unless they
    # are in the prefix's Fonts folder; without them the screenshot shows
    # letters where the buttons should be.
    if [ -d /usr/share/wine/fonts ]; then
        cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/"
    fi
    touch "$prefix/.brackwyn-x11-ready"
fi

cd "$work"
cp "$bin_dir/gui-host.exe" "$bin_dir/brackwyn.dll" "$bin_dir/bw_child.exe" \
    "$bin_dir/gui-ticker.exe" "$bin_dir/brackwyn-term.exe" .

# Starts the window in the background; $host_pid is its Wine process.
start_host() {
    timeout 60 wine explorer "/desktop=brackwyn,$DESKTOP_SIZE" gui-host.exe "$@" \
        </dev/null >>wine.log 2>&1 &
    host_pid=$!
}

# Waits for the dump a finished run writes; fails if the window died first.
await_dump() {
    local dump=$1
    for _ in $(seq 300); do
        [ -s "$dump" ] && return 0
        kill -0 "$host_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -s "$dump" ] || die "gui-host wrote no $dump; Wine said: $(tail -n 5 wine.log)"
}

await_exit() {
    wait "$host_pid" || die "gui-host did not close by itself (status $?)"
}

expect_line() {
    local dump=$1 pattern=$2 what=$3
    grep -Eq "$pattern" "$dump" || die "$what; the window showed:
$(cat "$dump")"
}

# --- 1: output, error text and the result --------------------------------
# gui-host's built-in command: output, a pause, error text, a pause, output.
start_host --separate --autorun --dump run1.txt --exit-after-run 4000
await_dump run1.txt
expect_line run1.txt '^status: Finished after [0-9.]+ s: result 1, stderr seen 1$' \
    "the status line does not show result 1 with stderr seen"
expect_line run1.txt '^out\| building\.\.\. *$' "the first output line is missing"
expect_line run1.txt '^err\| warning: slow step *$' "the error line is missing or not red"
expect_line run1.txt '^out\| done *$' "the last output line is missing"
[ "$(grep -c '|' run1.txt)" -eq 3 ] || die "expected exactly 3 lines in the pane:
$(cat run1.txt)"

# The window repaints after the dump; give it a moment, then take the screen.
capture() {
    sleep 1
    xwd -root -silent >screen.xwd || die "xwd could not capture the display"
    xwdtopnm screen.xwd 2>/dev/null |
        pnmcut -left 0 -top 0 -width "${DESKTOP_SIZE%x*}" -height "${DESKTOP_SIZE#*x}" >screen.ppm
}
capture
await_exit

# The dump reads colours back from the control; this checks that they also
# reach the screen. The error line is a few hundred reddish pixels (its
# strokes and their smoothed edges); nothing else in the window is red.
red=$(ppmhist -noheader screen.ppm |
    awk '$1 - ($2 > $3 ? $2 : $3) >= 60 { n += $5 } END { print n + 0 }')
dark=$(ppmhist -noheader screen.ppm | awk '$4 <= 80 { n += $5 } END { print n + 0 }')
[ "$red" -ge 150 ] || die "the screenshot has almost no red ($red pixels): error text not drawn red"
[ "$dark" -ge 500 ] || die "the screenshot has almost no dark pixels ($dark): no text drawn"
echo "gui test: run 1 ok ($red red pixels)"

# --- 2: Abort stops a long run -------------------------------------------
start_host --command "cmd /c echo waiting & ping -n 30 127.0.0.1 >nul" \
    --autorun --abort-after 1500 --dump run2.txt --exit-after-run 200
await_dump run2.txt
expect_line run2.txt '^status: Aborted after [0-9.]+ s: result 0, stderr seen 0$' \
    "the status line does not show an aborted run with result 0"
expect_line run2.txt '^out\| waiting *$' "the output written before the abort is missing"
seconds=$(sed -n 's/^status: Aborted after \([0-9.]*\) s.*/\1/p' run2.txt)
awk -v s="$seconds" 'BEGIN { exit !(s >= 1.4 && s < 5) }' ||
    die "the aborted run lasted $seconds s; Abort is pressed at 1.5 s"
await_exit
echo "gui test: run 2 ok (aborted after $seconds s)"

# --- 3: a fast writer loses nothing --------------------------------------
# Far more chunks than the pane can take one by one: every line must arrive,
# once, in order.
start_host --command "cmd /c for /l %i in (1,1,2000) do @echo line %i" \
    --autorun --dump run3.txt --exit-after-run 200
await_dump run3.txt
expect_line run3.txt '^status: Finished after [0-9.]+ s: result 1, stderr seen 0$' \
    "the status line of the fast writer's run does not show result 1"
awk 'NR > 1 { if ($0 !~ "^out\\| line " NR - 1 " *$") { print "line " NR ": " $0; exit 1 } }
     END { if (NR != 2001) { print NR - 1 " lines in the pane"; exit 1 } }' run3.txt >run3.err ||
    die "the pane lost or reordered the fast writer's lines: $(cat run3.err)"
await_exit
echo "gui test: run 3 ok (2000 lines)"

# --- 4 and 5: text in any code page shows right ---------------------------
# bw_child's `writes` takes each write as hex; a step "p<ms>" pauses.
hex() { printf '%s' "$1" | iconv -f UTF-8 -t "$2" | od -An -tx1 | tr -d ' \n'; }
start_host --command "bw_child.exe writes $(hex $'ANSI 1251: Привет, мир\r\n' CP1251) \
$(hex $'UTF-8: Grüße aus Köln\n' UTF-8) p20 $(hex 'UTF-8: Доброе утро, ' UTF-8) \
$(hex $'Straße\n' UTF-8) p60000" --code-page 1251 --autorun --stop-after 4000 \
    --dump run4.txt --exit-after-run 4000
await_dump run4.txt
# A program without a Ctrl+C handler of its own ends with 0xC000013A on
# Windows and with 0 under Wine.
expect_line run4.txt \
    '^status: Stopped after [0-9.]+ s \(ended in the grace, exit code [0-9A-Fx]+\): result [01], stderr seen 0$' \
    "the status line of the text run does not show a run stopped in the grace"
seconds=$(sed -n 's/^status: Stopped after \([0-9.]*\) s.*/\1/p' run4.txt)
# Terminated at the end of the grace it would have lasted 9 s.
awk -v s="$seconds" 'BEGIN { exit !(s >= 3.9 && s < 8.5) }' ||
    die "the stopped run lasted $seconds s; Stop is pressed at 4 s with a 5 s grace"
expect_line run4.txt '^out\| ANSI 1251: Привет, мир *$' "ANSI Cyrillic did not show right"
expect_line run4.txt '^out\| UTF-8: Grüße aus Köln *$' "UTF-8 German did not show right"
expect_line run4.txt '^out\| UTF-8: Доброе утро, Straße *$' "UTF-8 Cyrillic did not show right"
[ "$(grep -c '|' run4.txt)" -eq 3 ] || die "expected exactly 3 lines in the pane:
$(cat run4.txt)"
capture
pnmtopng screen.ppm >"$out_png"
await_exit
echo "gui test: run 4 ok (stopped after $seconds s; screenshot: $out_png)"

start_host --command "bw_child.exe writes $(hex $'OEM 437: Müller, Größe\r\n' CP437) \
$(hex $'UTF-8: Привет\n' UTF-8)" --code-page 437 --autorun --dump run5.txt --exit-after-run 200
await_dump run5.txt
expect_line run5.txt '^out\| OEM 437: Müller, Größe *$' "OEM German did not show right"
expect_line run5.txt '^out\| UTF-8: Привет *$' "UTF-8 Cyrillic next to OEM did not show right"
await_exit
echo "gui test: run 5 ok"

# --- 6: the input line reaches the program -------------------------------
# Typed key by key while the run lasts, so each character goes through the
# wait's message filter; the host sends in the program's code page (ANSI
# Cyrillic here: OEM Cyrillic bytes can form valid UTF-8 and would be read
# back as that) and reads the echo back in it.
start_host --command "bw_child.exe echo-stdin" --code-page 1251 --send "sent with the button" \
    --enter "Привет, набрано с Enter" --close-input --autorun --dump run6.txt --exit-after-run 200
await_dump run6.txt
expect_line run6.txt '^status: Finished after [0-9.]+ s: result 1, stderr seen 0$' \
    "Close input did not end the echoing program"
[ "$(grep '|' run6.txt)" = "out| sent with the button
out| Привет, набрано с Enter" ] || die "the lines sent did not come back, in order:
$(cat run6.txt)"
await_exit
echo "gui test: run 6 ok"

# --- 7: Stop lets the program's own Ctrl+C handler run ---------------------
# Pressed late enough that even a slow start has set the handler up.
start_host --command "bw_child.exe ctrlc 3" --autorun --stop-after 4000 --dump run7.txt \
    --exit-after-run 200
await_dump run7.txt
expect_line run7.txt \
    '^status: Stopped after [0-9.]+ s \(ended in the grace, exit code 3\): result 0, stderr seen 0$' \
    "the status line does not show the handler's exit code within the grace"
expect_line run7.txt '^out\| ready pid=[0-9]+ *$' "the program's first line is missing"
expect_line run7.txt '^out\| ctrl-c pid=[0-9]+ *$' "the program's Ctrl+C handler did not run"
await_exit
echo "gui test: run 7 ok"

# --- 8: the window answers during a flood ------------------------------------
# The program writes 256 MiB as fast as it can; Stop, pressed by a timer
# while it floods, must be answered, and the status line counts what came.
# The screen taken meanwhile shows the flood under way.
start_host --flood --autorun --stop-after 1200 --dump run8.txt --exit-after-run 200
(sleep 1.1; xwd -root -silent >flood.xwd 2>/dev/null) &
shot=$!
await_dump run8.txt
wait "$shot" || true
expect_line run8.txt \
    '^status: Stopped after [0-9.]+ s \(.*\): result 0, stderr seen 0, [0-9]+ MiB received$' \
    "the status line does not show a flood stopped by the Stop button"
mib=$(sed -n 's/.* \([0-9]*\) MiB received$/\1/p' run8.txt)
[ "$mib" -lt 256 ] || die "the flood had ended ($mib MiB) before Stop was pressed"
if [ -s flood.xwd ]; then
    xwdtopnm flood.xwd 2>/dev/null |
        pnmcut -left 0 -top 0 -width "${DESKTOP_SIZE%x*}" -height "${DESKTOP_SIZE#*x}" |
        pnmtopng >"${out_png%.png}-flood.png" 2>/dev/null || true
fi
await_exit
echo "gui test: run 8 ok (stopped at $mib MiB)"

# --- 9 and 10: Terminal shows a buffering program's lines as it prints -------
# The ticker must print with msvcrt's own printf, which buffers for a pipe;
# MinGW's own would not show the difference.
if command -v x86_64-w64-mingw32-objdump >/dev/null 2>&1; then
    x86_64-w64-mingw32-objdump -p gui-ticker.exe |
        awk '/DLL Name:/ { dll = tolower($3) } dll == "msvcrt.dll" && $3 == "printf" { found = 1 }
             END { exit !found }' || die "gui-ticker.exe does not import msvcrt's printf"
fi
# --line-times puts before each line of the dump the ms from Run to its end's
# arrival in the pane.
ticks=6
start_host --terminal --command "gui-ticker.exe $ticks 300" --line-times --autorun \
    --dump run9.txt --exit-after-run 1500
await_dump run9.txt
expect_line run9.txt '^status: Finished after [0-9.]+ s: result 1, stderr seen 0$' \
    "the terminal run of the ticker did not finish with result 1"
awk -v n="$ticks" '
    NR > 1 {
        if ($0 !~ "^[0-9]+ out\\| tick " NR - 1 " of " n " *$") { print "line " NR ": " $0; exit 1 }
        if (NR > 2 && ($1 - last < 150 || $1 - last > 1000)) {
            print "tick " NR - 1 " came " $1 - last " ms after the one before"; exit 1
        }
        last = $1
    }
    END { if (NR != n + 1) { print NR - 1 " lines in the pane"; exit 1 } }' run9.txt >run9.err ||
    die "in a terminal run the ticks did not come one by one, about 300 ms apart: $(cat run9.err)
$(cat run9.txt)"
capture
pnmtopng screen.ppm >"${out_png%.png}-terminal.png"
await_exit
echo "gui test: run 9 ok (terminal, ticks at $(awk 'NR > 1 { printf "%s ", $1 }' run9.txt)ms)"

start_host --command "gui-ticker.exe $ticks 300" --line-times --autorun --dump run10.txt \
    --exit-after-run 200
await_dump run10.txt
expect_line run10.txt '^status: Finished after [0-9.]+ s: result 1, stderr seen 0$' \
    "the pipe run of the ticker did not finish with result 1"
awk -v n="$ticks" '
    NR == 2 { first = $1 }
    NR > 1 {
        if ($0 !~ "^[0-9]+ out\\| tick " NR - 1 " of " n " *$") { print "line " NR ": " $0; exit 1 }
        if ($1 - first > 100) { print "tick " NR - 1 " came " $1 - first " ms after the first"; exit 1 }
    }
    END {
        if (NR != n + 1) { print NR - 1 " lines in the pane"; exit 1 }
        if (first < 300 * (n - 1)) { print "the ticks came at " first " ms, before the end"; exit 1 }
    }' run10.txt >run10.err ||
    die "through a pipe the ticks did not arrive together: $(cat run10.err)
$(cat run10.txt)"
await_exit
echo "gui test: run 10 ok (pipe, all ticks at $(sed -n 2p run10.txt | cut -d' ' -f1) ms)"

echo "gui test: passed"
