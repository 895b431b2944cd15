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
echo "== ztxhost list (xz.ztx under Wine)"
"$top/scripts/wine-run.sh" "$top/dist/ztxhost.exe" list "Z:${sample//\//\\}.xz"
