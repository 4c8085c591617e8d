#!/bin/sh
# Creates the Wine prefix that the tests and the demo run in.
#
# usage: wineprefix-setup.sh DIR
#
# The prefix lives in the build folder so that a build never touches ~/.wine
# and `rm -rf build` starts over cleanly. Creating it takes several seconds,
# so a stamp file marks a finished prefix and later calls return at once.
# A half-made prefix (no stamp) is thrown away and made again.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi

prefix=$1
stamp=$prefix/.brackwyn-ready

if [ -f "$stamp" ]; then
    exit 0
fi

if ! command -v wine >/dev/null 2>&1; then
    echo "wineprefix-setup: 'wine' is not on PATH; install the wine and wine64 packages" >&2
    exit 1
fi

# A half-made prefix of ours carries a marker; anything else in the way is
# somebody's own prefix or files, and is not ours to delete.
marker=$prefix/.brackwyn-creating
if [ -d "$prefix" ] && [ -n "$(ls -A "$prefix")" ] && [ ! -f "$marker" ]; then
    echo "wineprefix-setup: $prefix exists and was not made here; remove it or choose another" >&2
    exit 1
fi
rm -rf "$prefix"
mkdir -p "$prefix"
touch "$marker"

WINEPREFIX=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
WINEDEBUG=-all
# No desktop integration: no menu entries or file associations on the host,
# and no prompt to install Mono or Gecko, which a build does not need.
WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

echo "wineprefix-setup: creating $WINEPREFIX"
wineboot -i </dev/null >/dev/null 2>&1
# The null graphics driver gives every window a real message queue without an
# X server, which is what a headless build machine has.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# Wait until the server has written the registry to disk and gone, so the
# prefix is complete before the stamp says so.
wineserver -w

touch "$stamp"
rm -f "$marker"
