#!/usr/bin/env bash
# Saves a picture of the settings dialog, shown by the real module under Wine
# on a private Xvfb display, to docs/settings-dialog.png or OUT.png.
# Usage: screenshot-dialog.sh [--32 | --64] [OUT.png]
# The build is the 32-bit one where 32-bit Wine starts, else the 64-bit one,
# unless --32 or --64 names it. Prints the window it found by its title and
# the size the dialog reported, which the picture must match.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
bits=64
can_run_32bit && bits=32
case ${1:-} in
--32 | --64) bits=${1#--}; shift ;;
esac
out=${1:-$top/docs/settings-dialog.png}
arch=; [ "$bits" = 64 ] && arch=--64
bin=$top/build/win$bits/bin
title="xz settings"
if [ ! -f "$bin/show_settings.exe" ]; then
    echo "screenshot-dialog: $bin/show_settings.exe is missing (make win$bits)" >&2
    exit 1
fi

# A Wine prefix of its own: a wineserver that other programs started on
# another display holds the desktop window there, and the dialog would be
# created in a window of that display (X's BadWindow) instead of this one.
prefix=$top/build/wineprefix-screenshot$bits
export WINEPREFIX32=$prefix WINEPREFIX64=$prefix

work=$(mktemp -d)
xvfb= shown= server=
cleanup() {
    { exec 3>&-; } 2>/dev/null
    [ -n "$shown" ] && kill "$shown" 2>/dev/null
    [ -n "$server" ] && WINEPREFIX=$prefix wineserver -k 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "screenshot-dialog: $*" >&2; [ -s "$work/shown.err" ] && tail -n 20 "$work/shown.err" >&2; exit 1; }

# Xvfb picks a free display itself and names it.
Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n 1 "$work/display")

# Makes the prefix the first time (slow) and keeps its wineserver apart from our output.
"$top/scripts/wine-up.sh" $arch
server=1

# The dialog stays up until its standard input, this script's descriptor 3, closes.
mkfifo "$work/close"
"$top/scripts/wine-run.sh" $arch "$bin/show_settings.exe" 300 <"$work/close" >"$work/shown" 2>"$work/shown.err" &
shown=$!
exec 3>"$work/close"

# The dialog says when it is drawn; then its window is looked up by title.
for _ in $(seq 1200); do
    grep -q "^$title: " "$work/shown" 2>/dev/null && break
    kill -0 "$shown" 2>/dev/null || fail "show_settings.exe ended before showing the dialog"
    sleep 0.1
done
reported=$(sed -n "s/^$title: \([0-9]*x[0-9]*\) .*/\1/p" "$work/shown")
[ -n "$reported" ] || fail "the dialog did not appear"
window=$(xwininfo -name "$title" 2>/dev/null) || fail "no window titled '$title' on $DISPLAY"
id=$(awk '/Window id:/ { print $4 }' <<<"$window")
size=$(awk '/^ *Width:/ { w = $2 } /^ *Height:/ { h = $2 } END { print w "x" h }' <<<"$window")
sleep 0.5
import -window "$id" "$out"

exec 3>&-
wait "$shown" || true
shown=
echo "found window '$title' ($id), $size on display $DISPLAY; the dialog reports $reported"
echo "saved $out"
