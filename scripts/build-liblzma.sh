#!/usr/bin/env bash
# Cross-builds liblzma.dll for Windows from Debian's xz-utils source package,
# as Debian builds it: the revision scripts/fetch-xz-source.sh chooses (the
# newest of the release named in scripts/codec-release.sh that carries every
# fix of scripts/codec-fixes.py, or loudly the release before it), unpacked
# by dpkg-source with every patch of Debian's series applied, configured as
# Debian configures liblzma.
# Usage: build-liblzma.sh OUTDIR [HOST] [--deps DIR] [--selection FILE | --release NAME |
#                                        --newest NAME | --revision REV] [--cflags FLAGS]
#   HOST         i686-w64-mingw32 (the default) or x86_64-w64-mingw32
#   --deps       where sources are fetched and unpacked (default: OUTDIR/../deps)
#   --selection  a choice fetch-xz-source.sh made before (the reproducibility check
#                builds the same revision again)
#   --release, --newest, --revision   passed to fetch-xz-source.sh: a library for the
#                bench or an experiment, which the release check refuses to ship
#   --cflags     compiler flags added to Debian's (the bench's variants only)
# Leaves OUTDIR/liblzma.dll, OUTDIR/include/lzma.h (+ lzma/), OUTDIR/version
# (the upstream version), OUTDIR/revision (Debian's), OUTDIR/licence (0BSD or
# public-domain), OUTDIR/LICENSE.liblzma (the licence texts), OUTDIR/about
# (a line naming all that), OUTDIR/selection.env
# and OUTDIR/LIBLZMA-SOURCE.txt (the revision, its patches, the fixes checked
# and any fallback, shipped with the release). A second run for the same
# revision, host and flags rebuilds nothing.
set -euo pipefail

[ $# -ge 1 ] || { sed -n 's/^# Usage: //p' "$0" >&2; exit 2; }
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
host=i686-w64-mingw32
case "${1:-}" in *-w64-mingw32) host=$1; shift ;; esac
script_dir=$(cd "$(dirname "$0")" && pwd)
deps=$(dirname "$out")/deps
given_selection= fetch_args=() cflags_extra=
while [ $# -gt 0 ]; do
    case $1 in
    --deps) deps=$2 ;;
    --selection) given_selection=$2 ;;
    --release | --newest | --revision) fetch_args=("$1" "$2") ;;
    --cflags) cflags_extra=$2 ;;
    *) echo "build-liblzma: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
stamp="$out/.built"

say() { echo "build-liblzma: $*" >&2; }
fail() { say "$*"; exit 1; }

if [ -n "$given_selection" ]; then
    cp "$given_selection" "$out/selection.env"
else
    bash "$script_dir/fetch-xz-source.sh" "$deps" "$out/selection.env" ${fetch_args[@]+"${fetch_args[@]}"}
fi
# shellcheck disable=SC1091
. "$out/selection.env"

# What went wrong in the choice is said on every build, not only the first.
banner() {
    echo "build-liblzma: ######################################################################" >&2
    printf '%s\n' "$@" | fold -s -w 86 | sed 's/^/build-liblzma: # /' >&2
    echo "build-liblzma: ######################################################################" >&2
}
[ -z "$fallback" ] || banner "$fallback" "" "Revisions considered:" "$considered"
[ -z "$warnings" ] || banner "$warnings"
[ "$shippable" = yes ] || banner "NOT FOR RELEASE: liblzma $revision in $out: $not_shippable."

key="$revision $host $cflags_extra"
if [ -f "$stamp" ] && [ "$stamp" -nt "$script_dir/build-liblzma.sh" ] &&
    [ "$(cat "$stamp")" = "$key" ] && [ -f "$out/liblzma.dll" ]; then
    built=1
else
    built=0
    rm -f "$stamp"
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
        fail "dpkg-source could not unpack $dsc with its patches"
    }
    touch "$tree/.unpacked"
fi
cd "$tree"

# Every patch of the series, and no other, must be applied. A revision with
# no series (or an empty one) carries no patches, which is legal.
series=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' debian/patches/series 2>/dev/null || true)
applied=$(cat .pc/applied-patches 2>/dev/null || true)
if [ "$series" != "$applied" ]; then
    say "the applied patches differ from debian/patches/series"
    diff <(echo "$series") <(echo "$applied") >&2 || true
    exit 1
fi

# The tree built is checked itself, whatever the choice said of its twin.
fixes=$(python3 "$script_dir/codec-fixes.py" "$tree") && fixes_ok=1 || fixes_ok=0
if [ "$shippable" = yes ] && [ $fixes_ok = 0 ]; then
    echo "$fixes" >&2
    fail "$tree lacks a fix that the choice of $revision found"
fi

# Debian's own options for its shared liblzma (debian/rules: threads on,
# no static library, its reproducibility setting), less the tools it also
# builds. Threads are "vista" for both word sizes: configure's plain "yes"
# picks "win95" threads for i686, whose condition variables are event
# handles, and liblzma's threaded decoder never destroys its own, so each
# threaded decode would leak one handle. Vista condition variables hold
# none. Build paths are mapped away and the PE time stamp left out, so that
# the same revision rebuilds to the same bytes.
if [ $built = 0 ]; then
    if [ ! -f config.status ] || [ "$(cat .cflags-extra 2>/dev/null)" != "$cflags_extra" ]; then
        ./configure --host="$host" gl_cv_posix_shell=/bin/sh \
            --enable-threads=vista --disable-static \
            --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
            --disable-lzma-links --disable-scripts --disable-doc --disable-nls \
            CFLAGS="-g0 -O2 -ffile-prefix-map=$tree=. $cflags_extra" \
            LDFLAGS="-Wl,--no-insert-timestamp" >configure.log 2>&1 || {
            tail -n 30 configure.log >&2
            exit 1
        }
        echo "$cflags_extra" >.cflags-extra
        make -C src/liblzma clean >/dev/null 2>&1 || true
    fi
    # The threading model is what the build is for; check it where it is made.
    if ! grep -qx '#define MYTHREAD_VISTA 1' config.h || grep -q '^#define MYTHREAD_WIN95' config.h; then
        grep MYTHREAD config.h >&2 || true
        fail "config.h does not select vista threads"
    fi
    # The one option configure sets apart for the two word sizes, as it does
    # in Debian's own i386 build: the 32-bit x86 CRC assembly, which x86-64
    # has no counterpart of.
    asm=$(sed -n 's/^checking if assembler optimizations should be used\.\.\. //p' configure.log)
    if [ "$asm" != "$([ "$host" = i686-w64-mingw32 ] && echo x86 || echo no)" ]; then
        fail "configure chose assembler optimizations '$asm' for $host, unlike Debian's build for that CPU"
    fi
    make -C src/liblzma -j"$(nproc)" >make.log 2>&1 || {
        tail -n 30 make.log >&2
        exit 1
    }
    cp src/liblzma/.libs/liblzma-5.dll "$out/liblzma.dll"
    rm -rf "$out/include"
    mkdir -p "$out/include"
    cp -r src/liblzma/api/lzma.h src/liblzma/api/lzma "$out/include/"
fi

# The licence ships with the library: liblzma was in the public domain up to
# 5.4 and is under the BSD Zero Clause Licence from 5.6 on, whose text
# COPYING refers to.
if grep -q 'liblzma is under the BSD Zero Clause License (0BSD)' COPYING && [ -f COPYING.0BSD ]; then
    licence=0BSD
    { cat COPYING; printf '\n\n==== COPYING.0BSD, the licence COPYING refers to ====\n\n'; cat COPYING.0BSD; } \
        >"$out/LICENSE.liblzma"
elif grep -q 'liblzma is in the public domain' COPYING; then
    licence=public-domain
    cp COPYING "$out/LICENSE.liblzma"
else
    fail "COPYING states a licence of liblzma that this build does not know; read it and teach the build"
fi
echo "$licence" >"$out/licence"
# One line for the tests' output: what was built, and whether it is the
# fallback or an experiment.
echo "$(sed -n 's/^#define PACKAGE_VERSION "\(.*\)"$/\1/p' config.h) ($revision${fallback:+, a fallback to $release}${cflags_extra:+, with $cflags_extra}$([ "$shippable" = yes ] || echo ", NOT FOR RELEASE"))" >"$out/about"
sed -n 's/^#define PACKAGE_VERSION "\(.*\)"$/\1/p' config.h >"$out/version"
echo "$revision" >"$out/revision"
{
    echo "liblzma.dll is built from Debian's source package xz-utils, revision $revision"
    echo "(xz-utils_$revision.dsc: XZ Utils $(cat "$out/version") with Debian's patches), of Debian's"
    echo "release $release (suite $suite), configured with --enable-threads=vista (it needs"
    echo "Windows Vista or later)${cflags_extra:+ and the added compiler flags $cflags_extra}."
    case $licence in
    0BSD) echo "liblzma is under the BSD Zero Clause Licence (0BSD): see LICENSE.liblzma." ;;
    public-domain) echo "liblzma is in the public domain: see LICENSE.liblzma." ;;
    esac
    ruler="##############################################################################"
    if [ -n "$fallback" ]; then
        printf '\n%s\n' "$ruler"
        echo "$fallback" | fold -s -w 78
        echo "Revisions considered:"
        echo "$considered" | sed 's/^/  /'
        echo "$ruler"
    fi
    if [ "$shippable" != yes ]; then
        printf '\n%s\n' "$ruler"
        echo "NOT FOR RELEASE: $not_shippable." | fold -s -w 78
        echo "$ruler"
    fi
    echo
    echo "Patches applied, in order (debian/patches/series):"
    if [ -n "$series" ]; then echo "$series" | sed 's/^/  /'; else echo "  no patches"; fi
    echo
    echo "Security fixes checked in the unpacked source (scripts/codec-fixes.py):"
    echo "$fixes" | sed 's/^/  /'
} >"$out/LIBLZMA-SOURCE.txt"
echo "$key" >"$stamp"
