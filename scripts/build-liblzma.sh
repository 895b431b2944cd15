#!/usr/bin/env bash
# Cross-builds liblzma.dll for Windows from Debian's xz-utils source package.
# Usage: build-liblzma.sh OUTDIR [HOST]   (HOST: i686-w64-mingw32, the default, or x86_64-w64-mingw32)
# Leaves OUTDIR/liblzma.dll and OUTDIR/include/lzma.h (+ lzma/); a second run with
# those in place does nothing.
set -euo pipefail

out=$(mkdir -p "$1" && cd "$1" && pwd)
host=${2:-i686-w64-mingw32}
script_dir=$(cd "$(dirname "$0")" && pwd)
stamp="$out/.built"

if [ -f "$stamp" ] && [ "$stamp" -nt "$script_dir/build-liblzma.sh" ] && [ -f "$out/liblzma.dll" ]; then
    exit 0
fi

# The source package is fetched once and shared by the builds for each host.
tarball=$(bash "$script_dir/fetch-xz-source.sh" "$(dirname "$out")/deps")

version=${tarball##*/xz-utils_}
version=${version%.orig.tar.*}
tree="$out/src/xz-$version"
if [ ! -d "$tree" ]; then
    mkdir -p "$out/src"
    tar -xf "$tarball" -C "$out/src"
fi

cd "$tree"
if [ ! -f config.status ]; then
    ./configure --host="$host" --disable-xz --disable-xzdec --disable-lzmadec \
        --disable-lzmainfo --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
        --disable-static --enable-threads=yes >configure.log 2>&1 || {
        tail -n 30 configure.log >&2
        exit 1
    }
fi
make -C src/liblzma -j"$(nproc)" >make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}

cp src/liblzma/.libs/liblzma-5.dll "$out/liblzma.dll"
rm -rf "$out/include"
mkdir -p "$out/include"
cp -r src/liblzma/api/lzma.h src/liblzma/api/lzma "$out/include/"
echo "$version" >"$out/version"
cp COPYING "$out/COPYING.xz-utils" 2>/dev/null || true
touch "$stamp"
