#!/usr/bin/env bash
# Assembles the release from both Windows builds: the 32-bit module, its
# liblzma.dll and console host at the top, the 64-bit ones in x64/, with the
# installation text, the licences, the liblzma source it was built from and
# SHA256SUMS over every file; then one zip of all of it, named after the
# project's version. The zip rebuilds bit for bit: its entries are sorted,
# carry no extra attributes, one mode and the time of the last commit
# (SOURCE_DATE_EPOCH when it is set).
# Usage: make-dist.sh [DIST_DIR]   (default: dist/ in the source tree)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
dist=${1:-$top/dist}

# Where each shipped file comes from; a host of either word size takes the
# module of its own size, so each folder is complete on its own.
sources=(
    "xz.ztx=$build/win32/bin/xz.ztx"
    "liblzma.dll=$build/liblzma32/liblzma.dll"
    "ztxhost.exe=$build/win32/bin/ztxhost.exe"
    "x64/xz.ztx=$build/win64/bin/xz.ztx"
    "x64/liblzma.dll=$build/liblzma64/liblzma.dll"
    "x64/ztxhost.exe=$build/win64/bin/ztxhost.exe"
    "INSTALL.txt=$top/docs/INSTALL.txt"
    "LICENSE.liblzma=$build/liblzma32/LICENSE.liblzma"
    "LICENSE.zlib=/usr/share/doc/libz-mingw-w64-dev/copyright"
    "LIBLZMA-SOURCE.txt=$build/liblzma32/LIBLZMA-SOURCE.txt"
)

version_header=$build/win32/generated/plugin/version.h
version=$(sed -n 's/^#define XZ_VERSION_STRING "\(.*\)"$/\1/p' "$version_header" 2>/dev/null || true)
if [ -z "$version" ]; then
    echo "make-dist: no version in $version_header (run make win32 first)" >&2
    exit 1
fi
for entry in "${sources[@]}"; do
    if [ ! -f "${entry#*=}" ]; then
        echo "make-dist: ${entry#*=} is missing (run make win32 win64 first)" >&2
        exit 1
    fi
done

mkdir -p "$dist/x64"
# Both builds must come from one liblzma source revision, the one named.
if ! cmp -s "$build/liblzma32/LIBLZMA-SOURCE.txt" "$build/liblzma64/LIBLZMA-SOURCE.txt" ||
    ! cmp -s "$build/liblzma32/LICENSE.liblzma" "$build/liblzma64/LICENSE.liblzma"; then
    echo "make-dist: the 32-bit and 64-bit liblzma come from different sources" >&2
    exit 1
fi
# A library built for an experiment (LIBLZMA_REVISION) or the bench never
# ships, nor one whose source lacks a fix.
for bits in 32 64; do
    if ! grep -qx 'shippable=yes' "$build/liblzma$bits/selection.env" 2>/dev/null; then
        echo "make-dist: build/liblzma$bits is not for release:" >&2
        grep -A3 '^NOT FOR RELEASE' "$build/liblzma$bits/LIBLZMA-SOURCE.txt" >&2 || true
        echo "make-dist: build it again without LIBLZMA_REVISION (make win32 win64)" >&2
        exit 1
    fi
done
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || true)}
if [ -z "$epoch" ]; then
    echo "make-dist: no commit to take the time from; set SOURCE_DATE_EPOCH" >&2
    exit 1
fi

# A zip of an earlier version would otherwise be handed out beside this one.
rm -f "$dist"/xz-ztx-*-win32.zip "$dist"/xz-ztx-*-windows.zip "$dist/SHA256SUMS"
names=()
for entry in "${sources[@]}"; do
    name=${entry%%=*}
    cp "${entry#*=}" "$dist/$name"
    names+=("$name")
done

zip_name=xz-ztx-$version-windows.zip
cd "$dist"
sha256sum "${names[@]}" >SHA256SUMS
names+=(SHA256SUMS)
# Neither this machine's clock, umask, owner nor zone reaches the zip: one
# mode and the commit's time for every entry (zip stores local time, so UTC
# for both), entries in byte order, -X for no extra attributes.
# Zip times count in steps of two seconds; an odd second would be rounded
# by zip's own rule.
epoch=$((epoch - epoch % 2))
chmod 644 "${names[@]}"
TZ=UTC0 touch -h -d "@$epoch" "${names[@]}"
mapfile -t sorted < <(printf '%s\n' "${names[@]}" | LC_ALL=C sort)
TZ=UTC0 zip -q -X -D "$zip_name" "${sorted[@]}"
echo "make-dist: $dist/$zip_name"
