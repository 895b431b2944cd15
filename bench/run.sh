#!/usr/bin/env bash
# The benchmark behind `make bench`: decompression through xz.ztx against the
# in-memory limit and xz.exe, the cost of opening a small and a huge archive,
# multi-block test and extraction against xz.exe on one thread and on every
# core, and packing through PackFiles and PackToMem against the in-memory
# encoder and, with threads, against xz.exe.
# Inputs are generated once and cached in build/bench/. See bench/README.md.
#
# Environment:
#   BENCH_BIN          folder with xz.ztx, liblzma.dll and the bench programs
#                      (default: the build's bin)
#   BENCH_PROBE_BYTES  the native probe_bytes program (default: build/native/bench/probe_bytes)
#   BENCH_SKIP_XZ_EXE  set to 1 to skip cross-building and timing xz.exe (and the rows against it)
#   BENCH_RUNS         timed rounds of single-block decompression, best kept (default 9)
#   BENCH_PACK_RUNS    timed runs per single-threaded packing row, best kept (default 1)
#   BENCH_REPS         repetitions of the multi-block rows, median kept (default 5)
#   BENCH_PACK_REPS    repetitions of the threaded packing row, median kept (default 3)
#   BENCH_ABORT_REPS   aborts timed per operation and share of the work (default 3)
#   BENCH_APT_CACHE    where to look for Debian packages (default /var/cache/apt/archives)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
cache=$top/build/bench
data=$cache/data
mkdir -p "$data"

# The product is the 32-bit build; where the kernel cannot start 32-bit
# programs, the 64-bit build of the same sources stands in.
if can_run_32bit; then
    bits=32 wine=("$top/scripts/wine-run.sh") host=i686-w64-mingw32
else
    bits=64 wine=("$top/scripts/wine-run.sh" --64) host=x86_64-w64-mingw32
fi
bin=${BENCH_BIN:-$top/build/win$bits/bin}
probe_bytes=${BENCH_PROBE_BYTES:-$top/build/native/bench/probe_bytes}
for f in "$bin/xz.ztx" "$bin/liblzma.dll" "$probe_bytes" \
    "$bin"/{bench_plugin,bench_pack,bench_decode_mt,bench_pack_mt}.exe; do
    [ -f "$f" ] || { echo "bench: $f is missing (make win$bits native)" >&2; exit 1; }
done

winpath() { wine_path "$(readlink -f "$1")"; }

# --- inputs, made once ----------------------------------------------------
# The recipe is kept beside the files, so that a changed recipe remakes them.
recipe="text: 40 MiB of numbered lines; text.xz: xz -6 -T1; big.xz: 26 x text, xz -1 -T2 --block-size=16MiB"
if [ "$(cat "$data/recipe" 2>/dev/null)" != "$recipe" ]; then
    echo "bench: generating the inputs (once; cached in build/bench/data)" >&2
    rm -f "$data"/*
    # Deterministic text with enough variety per line to compress like prose-ish data.
    awk -v size=$((40 << 20)) 'BEGIN {
        for (i = 1; total < size; i++) {
            line = sprintf("record %d: value %d, the quick brown fox jumps over the lazy dog %d times", i, (i * 7919) % 100003, i % 97)
            print line
            total += length(line) + 1
        }
    }' >"$data/text"
    truncate -s $((40 << 20)) "$data/text"
    xz -6 -T1 -c "$data/text" >"$data/text.xz"
    # Over 1 GiB unpacked in many blocks, each of whose headers stores its
    # sizes, as multi-threaded xz writes them.
    for _ in $(seq 26); do cat "$data/text"; done | xz -1 -T2 --block-size=16MiB -c >"$data/big.xz"
    echo "$recipe" >"$data/recipe"
fi

# Multi-block and packing inputs: generated prose, which packs to about a
# fifth, as real text does. The threaded packing input holds two blocks of
# 24 MiB, the block size of xz -6e -T2, so that two threads have work; the
# single-threaded packing rows take 16 MiB of it, since 6e packs at about
# 1 MB/s on one core.
mt_recipe="prose: 96 MiB from gen-text.awk $(sha256sum "$top/bench/gen-text.awk" | cut -c1-16); \
prose.xz: xz -6 -T2 --block-size=8MiB; prose-16M, prose-48M: its first 16 and 48 MiB; \
prose-48M.6e-T2.xz: xz -6e -T2 --check=crc64"
if [ "$(cat "$data/recipe-mt" 2>/dev/null)" != "$mt_recipe" ]; then
    echo "bench: generating the multi-block and packing inputs (once, several minutes; cached in build/bench/data)" >&2
    rm -f "$data"/prose* "$data/recipe-mt"
    awk -v size=$((96 << 20)) -f "$top/bench/gen-text.awk" >"$data/prose"
    truncate -s $((96 << 20)) "$data/prose"
    xz -6 -T2 --block-size=8MiB -c "$data/prose" >"$data/prose.xz"
    head -c $((16 << 20)) "$data/prose" >"$data/prose-16M"
    head -c $((48 << 20)) "$data/prose" >"$data/prose-48M"
    xz -6e -T2 --check=crc64 -c "$data/prose-48M" >"$data/prose-48M.6e-T2.xz"
    echo "$mt_recipe" >"$data/recipe-mt"
fi

# The same prose in the two layouts liblzma's threaded decoder keeps on one
# thread, which the plug-in decodes block by block from the indexes: a
# stream per 4 MiB piece (as parallel writers and appended logs make them),
# and one stream of 8 MiB blocks whose headers store no sizes.
blocks_recipe="prose-streams.xz: xz -6 -T1 over each 4 MiB piece of prose; prose-sizeless.xz: xz -6 -T1 --block-size=8MiB; $mt_recipe"
if [ "$(cat "$data/recipe-blocks" 2>/dev/null)" != "$blocks_recipe" ]; then
    echo "bench: generating the multi-stream and size-less inputs (once, a few minutes; cached in build/bench/data)" >&2
    rm -f "$data/prose-streams.xz" "$data/prose-sizeless.xz" "$data"/prose-piece.*
    split -b 4M -d -a 2 "$data/prose" "$data/prose-piece."
    printf '%s\n' "$data"/prose-piece.?? | xargs -P "$(nproc)" -I{} xz -6 -T1 {}
    cat "$data"/prose-piece.??.xz >"$data/prose-streams.xz"
    rm -f "$data"/prose-piece.*
    xz -6 -T1 --block-size=8MiB -c "$data/prose" >"$data/prose-sizeless.xz"
    echo "$blocks_recipe" >"$data/recipe-blocks"
fi

# The abort rows: 300 MB of prose in blocks of 8 MiB, a test of which takes
# seconds, so that the 1 %, 50 % and 99 % points lie well apart.
abort_recipe="prose-300M.xz: the first 300000000 bytes of 4 x prose, xz -1 -T2 --block-size=8MiB"
if [ "$(cat "$data/recipe-abort" 2>/dev/null)" != "$abort_recipe" ]; then
    echo "bench: generating the abort input (once; cached in build/bench/data)" >&2
    # Two whole copies and the head of a third make the 300 MB: a producer cut
    # off by head would die of SIGPIPE, which pipefail makes the bench's end.
    { cat "$data/prose" "$data/prose"; head -c $((300000000 - 2 * $(stat -c %s "$data/prose"))) "$data/prose"; } |
        xz -1 -T2 --block-size=8MiB -c >"$data/prose-300M.xz"
    echo "$abort_recipe" >"$data/recipe-abort"
fi

# The largest data.tar.xz member of the Debian packages in the apt cache: a
# real multi-block archive as dpkg writes them. Packages are looked at from the
# largest down, until one is smaller than the best member found (a member is
# never larger than its package).
apt_cache=${BENCH_APT_CACHE:-/var/cache/apt/archives}
best_size=0 best_deb=
while read -r size deb; do
    [ "$size" -gt "$best_size" ] || break
    member=$(ar tv "$deb" 2>/dev/null | awk '$NF == "data.tar.xz" { print $3 }' || true)
    if [ -n "$member" ] && [ "$member" -gt "$best_size" ]; then
        best_size=$member best_deb=$deb
    fi
done < <(find "$apt_cache" -maxdepth 1 -name '*.deb' -printf '%s %p\n' 2>/dev/null | sort -rn)
deb_member=
if [ -n "$best_deb" ]; then
    deb_member=$data/package.tar.xz
    if [ "$(cat "$data/package.source" 2>/dev/null)" != "$best_deb $best_size" ]; then
        ar p "$best_deb" data.tar.xz >"$deb_member"
        echo "$best_deb $best_size" >"$data/package.source"
    fi
else
    echo "bench: no Debian package with a data.tar.xz member in $apt_cache; its row is skipped" >&2
fi

xz_exe=
if [ "${BENCH_SKIP_XZ_EXE:-0}" != 1 ]; then
    if [ ! -f "$cache/$host/xz.exe" ]; then
        echo "bench: cross-building xz.exe from the liblzma source package (once, a few minutes)" >&2
    fi
    if bash "$top/bench/build-xz-exe.sh" "$cache/$host" "$host" "$top/build/liblzma$bits/selection.env"; then
        xz_exe=$(winpath "$cache/$host/xz.exe")
    else
        echo "bench: could not build xz.exe; its row is skipped" >&2
    fi
fi

# --- run ------------------------------------------------------------------
if [ "$bits" = 32 ]; then ran="the 32-bit build ran"; else ran="the 64-bit build ran (32-bit Wine cannot start here)"; fi
# Every header names the liblzma that did the work.
lib="liblzma $(cat "$top/build/liblzma$bits/about" 2>/dev/null || echo "of $bin")"
echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $("${wine[@]}" --version 2>/dev/null || echo wine), $ran, $lib"
# Other work on the machine takes cores from the threaded rows first.
echo "   load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "== bytes read by opening (the archive probe, native; no liblzma involved)"
"$probe_bytes" "$data/text.xz" "$data/big.xz"
echo
echo "== under Wine (${bits}-bit), $lib"
out=$cache/out
rm -rf "$out"
# A bench program that stops leaves its outputs, up to three unpacked package members.
trap 'rm -rf "$out"' EXIT
mkdir -p "$out"
args=(--runs "${BENCH_RUNS:-9}" "$(winpath "$data/text.xz")" "$(winpath "$data/big.xz")" "$(winpath "$out")")
[ -n "$xz_exe" ] && args+=("$xz_exe")
"${wine[@]}" "$bin/bench_plugin.exe" "${args[@]}"
rm -rf "$out"

# What each multi-block archive holds, from the system's xz.
describe() {
    xz --robot --list "$1" | awk -F'\t' -v what="$2" '$1 == "totals" {
        print "  " what ": " $3 " blocks in " $2 " stream(s), " $4 " bytes packed, " $5 " unpacked" }'
}
echo
echo "== multi-block test and extraction under Wine, $lib"
if [ -n "$xz_exe" ]; then
    describe "$data/prose.xz" "prose.xz: xz -6 -T2 --block-size=8MiB of 96 MiB of generated prose"
    describe "$data/prose-streams.xz" "prose-streams.xz: the same prose as a stream per 4 MiB piece (xz -6 -T1 each)"
    describe "$data/prose-sizeless.xz" "prose-sizeless.xz: the same prose, xz -6 -T1 --block-size=8MiB (no sizes in the block headers)"
    archives=("$(winpath "$data/prose.xz")")
    if [ -n "$deb_member" ]; then
        describe "$deb_member" "package.tar.xz: data.tar.xz of $(basename "$best_deb")"
        archives+=("$(winpath "$deb_member")")
    fi
    # xz.exe decodes these on one core whatever -T says; the plug-in must beat it clearly.
    archives+=(--target 1.4 "$(winpath "$data/prose-streams.xz")" "$(winpath "$data/prose-sizeless.xz")")
    mkdir -p "$out"
    "${wine[@]}" "$bin/bench_decode_mt.exe" --runs "${BENCH_REPS:-5}" "$(winpath "$out")" "$xz_exe" \
        "${archives[@]}"
    rm -rf "$out"
else
    echo "  skipped: no xz.exe"
fi

echo
echo "== abort of a multi-block test and extraction under Wine, $lib"
describe "$data/prose-300M.xz" "prose-300M.xz: xz -1 -T2 --block-size=8MiB of 300 MB of generated prose"
mkdir -p "$out"
"${wine[@]}" "$bin/bench_decode_mt.exe" --abort --runs "${BENCH_ABORT_REPS:-3}" "$(winpath "$out")" \
    "$(winpath "$data/prose-300M.xz")"
rm -rf "$out"

# The block decoder's own rows, with inputs of their own.
bash "$top/bench/run-blocks.sh"

echo
echo "== packing under Wine, $lib"
mkdir -p "$out"
"${wine[@]}" "$bin/bench_pack.exe" --runs "${BENCH_PACK_RUNS:-1}" "$(winpath "$data/prose-16M")" "$(winpath "$out")"
if [ -n "$xz_exe" ]; then
    "${wine[@]}" "$bin/bench_pack_mt.exe" --runs "${BENCH_PACK_REPS:-3}" --abort-runs "${BENCH_ABORT_REPS:-3}" \
        "$(winpath "$out")" "$xz_exe" \
        "$(winpath "$data/prose-48M")" "$(winpath "$data/prose-48M.6e-T2.xz")"
else
    echo "  threaded packing skipped: no xz.exe"
fi
rm -rf "$out"

# --- liblzma A/B ----------------------------------------------------------
# The shipped liblzma.dll against Debian 12's 5.4.1, built for the bench only:
# a section of its own, in bench/ab-liblzma.sh (it also runs alone).
bash "$top/bench/ab-liblzma.sh"
