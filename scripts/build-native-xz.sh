#!/usr/bin/env bash
# Builds a native xz (for this machine, never shipped) that writes the test
# samples the system's xz cannot: those of filters newer than it (the RISC-V
# BCJ filter came with 5.6.0). It is built from the same source revision as
# the shipped liblzma.dll when that is 5.6.0 or later; when the build fell
# back to an older release, from the newest revision of the release named in
# scripts/codec-release.sh that can be fetched, fixes or not: it only writes
# samples, and the tests then expect the shipped library to refuse them.
# Usage: build-native-xz.sh OUTDIR [DEPS]
# Leaves OUTDIR/xz and OUTDIR/about (one line: the revision and why it was
# taken); when no such source can be had, OUTDIR/about says so and there is
# no OUTDIR/xz. Does nothing when OUTDIR/xz is there for the revision chosen.
set -euo pipefail
script_dir=$(cd "$(dirname "$0")" && pwd)
. "$script_dir/codec-release.sh"
out=$(mkdir -p "$1" && cd "$1" && pwd)
deps=${2:-$(dirname "$out")/deps}
newest_filter=5.6.0

bash "$script_dir/fetch-xz-source.sh" "$deps" "$out/shipped.env"
# shellcheck disable=SC1091
. "$out/shipped.env"
if dpkg --compare-versions "$version" ge "$newest_filter"; then
    why="the source of the shipped liblzma.dll"
elif bash "$script_dir/fetch-xz-source.sh" "$deps" "$out/newest.env" --newest "$CODEC_RELEASE"; then
    # shellcheck disable=SC1091
    . "$out/newest.env"
    why="the newest revision of $CODEC_RELEASE that can be fetched; the shipped liblzma.dll is older ($(sed -n 's/^revision=//p' "$out/shipped.env"))"
else
    rm -f "$out/xz"
    echo "none: no revision of $CODEC_RELEASE can be fetched, so no sample of a filter newer than the system's xz can be made" \
        >"$out/about"
    echo "build-native-xz: $(cat "$out/about")" >&2
    exit 0
fi
about="$revision ($why)"
if [ -x "$out/xz" ] && [ "$(cat "$out/about" 2>/dev/null)" = "$about" ]; then
    exit 0
fi

src=$out/src-$revision
rm -rf "$out"/src-* "$out/xz"
dpkg-source -x "$dsc" "$src" >"$out/dpkg-source.log" 2>&1 || {
    cat "$out/dpkg-source.log" >&2
    echo "build-native-xz: dpkg-source could not unpack $dsc" >&2
    exit 1
}
cd "$src"
./configure --disable-shared --enable-static --disable-nls --disable-doc --disable-scripts \
    --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links >configure.log 2>&1 || {
    tail -n 30 configure.log >&2
    exit 1
}
make -j"$(nproc)" -C src/liblzma >make.log 2>&1 && make -j"$(nproc)" -C src/xz >>make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}
cp src/xz/xz "$out/xz"
echo "$about" >"$out/about"
