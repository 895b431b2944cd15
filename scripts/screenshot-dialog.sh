#!/usr/bin/env bash
# Saves a picture of the settings dialog to docs/settings-dialog.png, shown by the real
# module under Wine on a private Xvfb display. Usage: screenshot-dialog.sh [OUT.png]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
out=${1:-$top/docs/settings-dialog.png}
bin=$top/build/win64/bin
arch=--64
if can_run_32bit; then
    bin=$top/build/win32/bin
    arch=
fi
display=:$((RANDOM % 100 + 150))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null' EXIT
sleep 1
export DISPLAY=$display
# Wine's virtual desktop of its own size would put the dialog in a large
# empty window; the picture is cut down to the dialog below.
"$top/scripts/wine-run.sh" $arch "$bin/show_settings.exe" 6 &
shown=$!
sleep 4
import -window root "$out.full.png"
wait $shown || true
# The dialog sits at its template position (90, 30 dialog units) on the desktop.
convert "$out.full.png" -crop 248x226+129+21 +repage "$out"
rm -f "$out.full.png"
echo "saved $out"
