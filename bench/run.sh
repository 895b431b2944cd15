#!/usr/bin/env bash
# The benchmark behind `make bench`: decompression through xz.ztx against the
# in-memory limit and xz.exe, the cost of opening a small and a huge archive,
# and packing through PackFiles and PackToMem against the in-memory encoder.
# Inputs are generated once and cached in build/bench/. See bench/README.md.
#
# Environment:
#   BENCH_BIN          folder with xz.ztx, liblzma.dll, bench_plugin.exe, bench_pack.exe
#                      (default: the build's bin)
#   BENCH_PROBE_BYTES  the native probe_bytes program (default: build/native/bench/probe_bytes)
#   BENCH_SKIP_XZ_EXE  set to 1 to skip cross-building and timing xz.exe
#   BENCH_RUNS         timed runs per decompression, best kept (default 3)
#   BENCH_PACK_RUNS    timed runs per packing row, best kept (default 1)
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
for f in "$bin/xz.ztx" "$bin/liblzma.dll" "$bin/bench_plugin.exe" "$bin/bench_pack.exe" "$probe_bytes"; do
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

xz_exe=
if [ "${BENCH_SKIP_XZ_EXE:-0}" != 1 ]; then
    if [ ! -f "$cache/$host/xz.exe" ]; then
        echo "bench: cross-building xz.exe from the liblzma source package (once, a few minutes)" >&2
    fi
    if bash "$top/bench/build-xz-exe.sh" "$cache/$host" "$host"; then
        xz_exe=$(winpath "$cache/$host/xz.exe")
    else
        echo "bench: could not build xz.exe; its row is skipped" >&2
    fi
fi

# --- run ------------------------------------------------------------------
echo "== machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $("${wine[@]}" --version 2>/dev/null || echo wine), ${bits}-bit build"
echo
echo "== bytes read by opening (the archive probe, native)"
"$probe_bytes" "$data/text.xz" "$data/big.xz"
echo
echo "== under Wine (${bits}-bit)"
out=$cache/out
rm -rf "$out"
mkdir -p "$out"
args=(--runs "${BENCH_RUNS:-3}" "$(winpath "$data/text.xz")" "$(winpath "$data/big.xz")" "$(winpath "$out")")
[ -n "$xz_exe" ] && args+=("$xz_exe")
"${wine[@]}" "$bin/bench_plugin.exe" "${args[@]}"
rm -rf "$out"

echo "== packing under Wine"
mkdir -p "$out"
"${wine[@]}" "$bin/bench_pack.exe" --runs "${BENCH_PACK_RUNS:-1}" "$(winpath "$data/text")" "$(winpath "$out")"
rm -rf "$out"
