#!/usr/bin/env bash
# scripts/screenshot-dialog.sh under its own Xvfb: the window it grabs is the
# one titled "xz settings", the picture has exactly the size the dialog
# reports for its window, and it shows more than one colour (an empty or
# black grab has one). Usage: test_screenshot.sh --32|--64 OUT.png
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
out=$2
rm -f "$out"
log=$(bash "$top/scripts/screenshot-dialog.sh" "$1" "$out" 2>&1)
status=$?
echo "$log"
fail() { echo "FAIL: $*"; exit 1; }
[ $status -eq 0 ] || fail "screenshot-dialog.sh exited with $status"
found=$(sed -n "s/^found window 'xz settings' (0x[0-9a-f]*), \([0-9]*x[0-9]*\) on .*; the dialog reports \([0-9]*x[0-9]*\)$/\1 \2/p" <<<"$log")
[ -n "$found" ] || fail "no window titled 'xz settings' was reported"
read -r window reported <<<"$found"
[ "$window" = "$reported" ] || fail "the window found by title is $window, the dialog reports $reported"
picture=$(identify -format '%wx%h' "$out") || fail "no picture at $out"
[ "$picture" = "$reported" ] || fail "the picture is $picture, the dialog $reported"
colours=$(identify -format '%k' "$out")
[ "$colours" -gt 1 ] || fail "the picture has $colours colour"
echo "ok: $picture, $colours colours"
