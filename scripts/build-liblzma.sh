#!/usr/bin/env bash
# Cross-builds liblzma.dll for Windows from Debian's xz-utils source package,
# as Debian builds it: the newest revision the machine's suites offer,
# unpacked by dpkg-source with every patch of Debian's series applied (their
# security fixes among them), configured as Debian configures liblzma.
# Usage: build-liblzma.sh OUTDIR [HOST]   (HOST: i686-w64-mingw32, the default, or x86_64-w64-mingw32)
# Leaves OUTDIR/liblzma.dll, OUTDIR/include/lzma.h (+ lzma/), OUTDIR/version
# (the upstream version), OUTDIR/revision (Debian's) and OUTDIR/LIBLZMA-SOURCE.txt
# (the revision and its patches, shipped with the release). A second run for
# the same revision with those in place does nothing.
set -euo pipefail

out=$(mkdir -p "$1" && cd "$1" && pwd)
host=${2:-i686-w64-mingw32}
script_dir=$(cd "$(dirname "$0")" && pwd)
stamp="$out/.built"

dsc=$(bash "$script_dir/fetch-xz-source.sh" "$(dirname "$out")/deps")
revision=${dsc##*/xz-utils_}
revision=${revision%.dsc}

if [ -f "$stamp" ] && [ "$stamp" -nt "$script_dir/build-liblzma.sh" ] &&
    [ "$(cat "$stamp")" = "$revision $host" ] && [ -f "$out/liblzma.dll" ]; then
    exit 0
fi

tree="$out/src/xz-utils-$revision"
if [ ! -f "$tree/.unpacked" ]; then
    rm -rf "$out/src"
    mkdir -p "$out/src"
    # dpkg-source applies debian/patches/series in order and fails on a
    # patch that does not apply; a tree without them would ship none of
    # Debian's fixes.
    dpkg-source -x "$dsc" "$tree" >"$out/src/dpkg-source.log" 2>&1 || {
        cat "$out/src/dpkg-source.log" >&2
        echo "build-liblzma: dpkg-source could not unpack $dsc with its patches" >&2
        exit 1
    }
    touch "$tree/.unpacked"
fi
cd "$tree"

# Every patch of the series, and no other, must be applied.
series=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' debian/patches/series)
applied=$(cat .pc/applied-patches 2>/dev/null || true)
if [ -z "$series" ] || [ "$series" != "$applied" ]; then
    echo "build-liblzma: the applied patches differ from debian/patches/series" >&2
    diff <(echo "$series") <(echo "$applied") >&2 || true
    exit 1
fi

# Debian's own options for its shared liblzma (debian/rules: threads on,
# no static library, its reproducibility setting), less the tools it also
# builds. Threads are "vista" for both word sizes: configure's plain "yes"
# picks "win95" threads for i686, whose condition variables are event
# handles, and liblzma's threaded decoder never destroys its own, so each
# threaded decode would leak one handle. Vista condition variables hold
# none. Build paths are mapped away and the PE time stamp left out, so that
# the same revision rebuilds to the same bytes.
if [ ! -f config.status ]; then
    ./configure --host="$host" gl_cv_posix_shell=/bin/sh \
        --enable-threads=vista --disable-static \
        --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
        --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
        CFLAGS="-g0 -O2 -ffile-prefix-map=$tree=." \
        LDFLAGS="-Wl,--no-insert-timestamp" >configure.log 2>&1 || {
        tail -n 30 configure.log >&2
        exit 1
    }
fi
# The threading model is what the build is for; check it where it is made.
if ! grep -qx '#define MYTHREAD_VISTA 1' config.h || grep -q '^#define MYTHREAD_WIN95' config.h; then
    echo "build-liblzma: config.h does not select vista threads" >&2
    grep MYTHREAD config.h >&2 || true
    exit 1
fi
make -C src/liblzma -j"$(nproc)" >make.log 2>&1 || {
    tail -n 30 make.log >&2
    exit 1
}

cp src/liblzma/.libs/liblzma-5.dll "$out/liblzma.dll"
rm -rf "$out/include"
mkdir -p "$out/include"
cp -r src/liblzma/api/lzma.h src/liblzma/api/lzma "$out/include/"
sed -n 's/^#define PACKAGE_VERSION "\(.*\)"$/\1/p' config.h >"$out/version"
echo "$revision" >"$out/revision"
cp COPYING "$out/COPYING.xz-utils"
{
    echo "liblzma.dll is built from Debian's source package xz-utils, revision $revision"
    echo "(xz-utils_$revision.dsc: XZ Utils $(cat "$out/version") with Debian's patches),"
    echo "configured with --enable-threads=vista (it needs Windows Vista or later)."
    echo
    echo "Patches applied, in order (debian/patches/series):"
    echo "$series" | sed 's/^/  /'
} >"$out/LIBLZMA-SOURCE.txt"
echo "$revision $host" >"$stamp"
