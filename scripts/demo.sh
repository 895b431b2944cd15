#!/usr/bin/env bash
# Shows the plug-in at work through the console host: a text file packed by the
# system's xz, then listed, tested and extracted by xz.ztx under Wine, and the
# extracted bytes compared with the original. Installs and builds only what
# that needs (the module, liblzma.dll and ztxhost of the word size that runs
# here), printing a line per stage with the time it took.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"

stage_start=
stage() {
    [ -n "$stage_start" ] && echo "   ($((SECONDS - stage_start)) s)"
    stage_start=$SECONDS
    [ $# -gt 0 ] && echo "== demo $*"
    return 0
}

stage "1/5: Debian packages (a first install takes a few minutes)"
bash "$top/scripts/setup.sh"
# The product is the 32-bit build. Whether 32-bit Wine starts is known only
# once the packages are in; a kernel without 32-bit support cannot start it,
# and then the 64-bit build of the same sources stands in.
if can_run_32bit; then
    bits=32 arch= triple=i686-w64-mingw32
    which="32-bit, the product's build"
else
    bits=64 arch=--64 triple=x86_64-w64-mingw32
    which="64-bit: 32-bit Wine does not start on this kernel (no 32-bit program support)"
fi
echo "   word size: $which"
stage "2/5: xz-utils source package"
bash "$top/scripts/fetch-xz-source.sh" "$top/build/deps" "$top/build/deps/demo-selection.env"
stage "3/5: liblzma.dll for $triple (about a minute the first time)"
bash "$top/scripts/build-liblzma.sh" "$top/build/liblzma$bits" "$triple"
stage "4/5: xz.ztx and ztxhost.exe ($bits-bit)"
bash "$top/scripts/configure-win.sh" "$bits"
cmake --build "$top/build/win$bits" --target xz_ztx codec_library ztxhost >/dev/null
stage "5/5: run"

demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo/out"

# A few megabytes of text that compresses like real prose.
sample=$demo/sample.txt
seq 1 200000 | awk '{ printf "line %d: the quick brown fox jumps over the lazy dog %d times\n", $1, $1 % 97 }' >"$sample"
xz -k -6 -T1 "$sample"
# In the zone Wine is given (see wine-run.sh), so that list shows this time.
TZ=${XZ_TEST_TZ:-${TZ:-UTC0}} touch -d '2018-03-05 12:34:56' "$sample.xz"

host=("$top/scripts/wine-run.sh" $arch "$top/build/win$bits/bin/ztxhost.exe")
which="build/win$bits/bin/ztxhost.exe ($which)"

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
    stage
else
    echo "== cmp: the extracted file DIFFERS from the original" >&2
    exit 1
fi
