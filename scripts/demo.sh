#!/usr/bin/env bash
# Shows the plug-in at work through the console host: a text file packed by the
# system's xz, then listed, tested and extracted by xz.ztx under Wine, and the
# extracted bytes compared with the original.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo/out"

# A few megabytes of text that compresses like real prose.
sample=$demo/sample.txt
seq 1 200000 | awk '{ printf "line %d: the quick brown fox jumps over the lazy dog %d times\n", $1, $1 % 97 }' >"$sample"
xz -k -6 -T1 "$sample"
# In the zone Wine is given (see wine-run.sh), so that list shows this time.
TZ=${XZ_TEST_TZ:-${TZ:-UTC0}} touch -d '2018-03-05 12:34:56' "$sample.xz"

# The product is the 32-bit build in dist/. A kernel without 32-bit support
# cannot start 32-bit Wine; the 64-bit build of the same sources stands in.
if can_run_32bit; then
    host=("$top/scripts/wine-run.sh" "$top/dist/ztxhost.exe")
    which="dist/ztxhost.exe (32-bit)"
else
    host=("$top/scripts/wine-run.sh" --64 "$top/build/win64/bin/ztxhost.exe")
    which="build/win64/bin/ztxhost.exe (64-bit: this kernel cannot run the 32-bit dist/ build)"
fi

run() {
    echo "\$ ztxhost $*"
    "${host[@]}" "$@"
}

echo "== sample: $(stat -c %s "$sample") bytes of text, packed by $(xz --version | head -n 1) to $(stat -c %s "$sample.xz") bytes"
echo "== host: $which, under $(/usr/lib/wine/wine64 --version 2>/dev/null || echo Wine)"
run list "$(wine_path "$sample.xz")"
run test "$(wine_path "$sample.xz")"
run extract "$(wine_path "$sample.xz")" "$(wine_path "$demo/out")"
if cmp "$sample" "$demo/out/sample.txt"; then
    echo "== cmp: the extracted file equals the original"
else
    echo "== cmp: the extracted file DIFFERS from the original" >&2
    exit 1
fi
