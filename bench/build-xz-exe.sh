#!/usr/bin/env bash
# Cross-builds xz.exe, statically linked, from the same xz-utils source package
# that liblzma.dll comes from, so that the benchmark can run the reference
# decompressor beside the plug-in under Wine.
# Usage: build-xz-exe.sh OUTDIR HOST      (HOST: x86_64-w64-mingw32 or i686-w64-mingw32)
# Leaves OUTDIR/xz.exe; does nothing when it is already there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
host=$2
exe=$out/xz.exe
[ -f "$exe" ] && exit 0

tarball=$(ls "$top"/build/deps/xz-utils_*.orig.tar.* 2>/dev/null | head -n 1 || true)
if [ -z "$tarball" ]; then
    echo "build-xz-exe: no xz-utils source package in build/deps (run make win64 first)" >&2
    exit 1
fi
# A copy of its own: the liblzma build's tree is configured for a DLL.
tree=$out/src-$host
rm -rf "$tree"
mkdir -p "$tree"
tar -xf "$tarball" -C "$tree" --strip-components=1
cd "$tree"
./configure --host="$host" --disable-shared --enable-static --disable-xzdec --disable-lzmadec \
    --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
    --enable-threads=yes >configure.log 2>&1 || { tail -n 30 configure.log >&2; exit 1; }
make -j"$(nproc)" -C src/liblzma >make.log 2>&1 &&
    make -j"$(nproc)" -C src/xz LDFLAGS=-all-static >>make.log 2>&1 || { tail -n 30 make.log >&2; exit 1; }
cp src/xz/xz.exe "$exe"
