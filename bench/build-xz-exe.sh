#!/usr/bin/env bash
# Cross-builds xz.exe, statically linked, from the same xz-utils source package
# revision that liblzma.dll comes from, with Debian's patches and the same
# threads, so that the benchmark runs the reference decompressor beside the
# plug-in under Wine on equal terms.
# Usage: build-xz-exe.sh OUTDIR HOST SELECTION
#   HOST       x86_64-w64-mingw32 or i686-w64-mingw32
#   SELECTION  the selection.env of the liblzma build (build/liblzmaBITS/selection.env)
# Leaves OUTDIR/xz.exe; does nothing when it is there for the current revision.
set -euo pipefail
out=$(mkdir -p "$1" && cd "$1" && pwd)
host=$2
exe=$out/xz.exe
# shellcheck disable=SC1090
. "$3"
[ -f "$exe" ] && [ "$(cat "$out/revision" 2>/dev/null)" = "$revision" ] && exit 0

# A tree of its own: the liblzma build's tree is configured for a DLL.
tree=$out/src-$host
rm -rf "$tree" "$exe"
dpkg-source -x "$dsc" "$tree" >/dev/null 2>&1 || { echo "build-xz-exe: dpkg-source failed on $dsc" >&2; exit 1; }
cd "$tree"
./configure --host="$host" --disable-shared --enable-static --disable-xzdec --disable-lzmadec \
    --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
    --enable-threads=vista >configure.log 2>&1 || { tail -n 30 configure.log >&2; exit 1; }
make -j"$(nproc)" -C src/liblzma >make.log 2>&1 &&
    make -j"$(nproc)" -C src/xz LDFLAGS=-all-static >>make.log 2>&1 || { tail -n 30 make.log >&2; exit 1; }
cp src/xz/xz.exe "$exe"
echo "$revision" >"$out/revision"
