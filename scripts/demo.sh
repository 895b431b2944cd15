#!/usr/bin/env bash
# Shows the plug-in at work through the console host: a real .xz file made by the
# system's xz, opened and listed by xz.ztx under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
demo=$top/build/demo
mkdir -p "$demo"

sample=$demo/sample.txt
if [ ! -f "$sample" ]; then
    # A few megabytes of text that compresses like real prose.
    seq 1 200000 | awk '{ printf "line %d: the quick brown fox jumps over the lazy dog %d times\n", $1, $1 % 97 }' >"$sample"
fi
rm -f "$sample.xz"
xz -k -6e -T1 "$sample"
touch -d '2018-03-05 12:34:56' "$sample.xz"

echo "== xz --list says"
xz --robot --list "$sample.xz" | awk -F'\t' '$1 == "totals" { print "packed " $4 " bytes, unpacked " $5 " bytes" }'
# The product is the 32-bit build in dist/. A kernel without 32-bit support
# cannot start 32-bit Wine; the 64-bit build of the same sources stands in.
if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    host=("$top/scripts/wine-run.sh" "$top/dist/ztxhost.exe")
    echo "== ztxhost (dist/, 32-bit) under Wine"
else
    host=("$top/scripts/wine-run.sh" --64 "$top/build/win64/bin/ztxhost.exe")
    echo "== ztxhost (64-bit build; this kernel cannot run the 32-bit dist/ build) under Wine"
fi
archive="Z:${sample//\//\\}.xz"
echo "\$ ztxhost list $archive"
"${host[@]}" list "$archive"
