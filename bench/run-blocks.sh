#!/usr/bin/env bash
# The block decoder's rows of `make bench` (run.sh calls this; it also runs
# alone): size-less blocks, a million empty blocks and 4 KiB blocks tested
# through xz.ztx with the processors it counts and with one, the waits
# between progress reports, aborts at a share of the run time, and archives
# whose indexes lie, natively (peak memory) and under Wine.
# Inputs are generated once and cached in build/bench/data. See bench/README.md.
#
# Environment (as run.sh):
#   BENCH_BIN           folder with xz.ztx, liblzma.dll and bench_block_decode.exe
#   BENCH_BLOCK_MEMORY  the native block_memory program (default: build/native/bench/block_memory)
#   BENCH_REPS          pairs of tests per archive, and fresh processes per lying index (default 5)
#   BENCH_ABORT_REPS    aborts timed per share of the run time (default 3)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
data=$top/build/bench/data
mkdir -p "$data"

if can_run_32bit; then
    bits=32 wine=("$top/scripts/wine-run.sh")
else
    bits=64 wine=("$top/scripts/wine-run.sh" --64)
fi
bin=${BENCH_BIN:-$top/build/win$bits/bin}
block_memory=${BENCH_BLOCK_MEMORY:-$top/build/native/bench/block_memory}
for f in "$bin/xz.ztx" "$bin/liblzma.dll" "$bin/bench_block_decode.exe" "$block_memory"; do
    [ -f "$f" ] || { echo "bench: $f is missing (make win$bits native)" >&2; exit 1; }
done
reps=${BENCH_REPS:-5}
abort_reps=${BENCH_ABORT_REPS:-3}
# The Debian revision each liblzma was built from: the DLL's, and the
# system's, which the native program links.
revision=$(cat "$top/build/liblzma$bits/revision" 2>/dev/null || echo unknown)
native_revision=$(dpkg-query -W -f='${Version}' "liblzma5:$(dpkg --print-architecture)" 2>/dev/null || echo unknown)
winpath() { wine_path "$(readlink -f "$1")"; }

# --- inputs, made once ----------------------------------------------------
sizeless=$data/sizeless-100M.xz
empty=$data/empty-1M.xz
small=$data/blocks-4K.xz
corrupt=$data/corrupt-index-16M.xz
claim=$data/claim-2p40.xz
recipe="sizeless-100M.xz: seq 1 25000000 | xz -1 -T1 --block-size=100MiB; \
empty-1M.xz: 1000000 empty blocks; blocks-4K.xz: 20000000 bytes of gen-text.awk, xz -1 -T1 --block-size=4KiB; \
corrupt-index-16M.xz: 16777216 records over zeros; claim-2p40.xz: 300000 bytes of it, xz -1 -T1 --block-size=64KiB, record 2 claims 2^40; \
$(sha256sum "$top/bench/make-block-inputs.py" "$top/bench/gen-text.awk" | cut -c1-16 | tr '\n' ' ')"
if [ "$(cat "$data/recipe-block-rows" 2>/dev/null)" != "$recipe" ]; then
    echo "bench: generating the block decoder's inputs (once, about a minute; cached in build/bench/data)" >&2
    rm -f "$sizeless" "$empty" "$small" "$corrupt" "$claim" "$data/recipe-block-rows"
    seq 1 25000000 | xz -1 -T1 --block-size=100MiB -c >"$sizeless"
    python3 "$top/bench/make-block-inputs.py" empty "$empty" 1000000
    awk -v size=20000000 -f "$top/bench/gen-text.awk" | head -c 20000000 >"$data/text-20M"
    xz -1 -T1 --block-size=4KiB -c "$data/text-20M" >"$small"
    python3 "$top/bench/make-block-inputs.py" corrupt-index "$corrupt" 16777216
    head -c 300000 "$data/text-20M" | xz -1 -T1 --block-size=64KiB -c >"$data/text-300K.xz"
    python3 "$top/bench/make-block-inputs.py" claim "$claim" "$data/text-300K.xz" 2
    rm -f "$data/text-20M" "$data/text-300K.xz"
    # The reference decoder agrees: the first three are sound, the last two not.
    for f in "$sizeless" "$empty" "$small"; do
        xz -t "$f" || { echo "bench: xz -t fails on $f" >&2; exit 1; }
    done
    for f in "$corrupt" "$claim"; do
        if xz -t "$f" 2>/dev/null; then echo "bench: xz -t passes $f, made to be corrupt" >&2; exit 1; fi
    done
    echo "$recipe" >"$data/recipe-block-rows"
fi

describe() {
    xz --robot --list "$1" | awk -F'\t' -v what="$2" '$1 == "totals" {
        print "  " what ": " $3 " blocks in " $2 " stream(s), " $4 " bytes packed, " $5 " unpacked" }'
}

# --- run ------------------------------------------------------------------
echo
echo "== the block decoder against the module's single-threaded decoder under Wine (${bits}-bit, liblzma $revision)"
echo "   load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
describe "$sizeless" "sizeless-100M.xz: seq 1 25000000, xz -1 -T1 --block-size=100MiB (no sizes in the block headers)"
describe "$empty" "empty-1M.xz: a million empty blocks, one stream, CRC32 check"
describe "$small" "blocks-4K.xz: 20 MB of generated prose, xz -1 -T1 --block-size=4KiB"
"${wine[@]}" "$bin/bench_block_decode.exe" --runs "$reps" "$(winpath "$sizeless")" \
    --target 1.5 "$(winpath "$empty")" "$(winpath "$small")"

echo
echo "== abort of a test of size-less blocks under Wine (${bits}-bit, liblzma $revision)"
"${wine[@]}" "$bin/bench_block_decode.exe" --abort --runs "$abort_reps" "$(winpath "$sizeless")"

echo
echo "== archives whose indexes lie, natively (64-bit, non-sanitized core, the system's liblzma $native_revision)"
echo "   corrupt-index-16M.xz: a stream header, 16777216 x 8 bytes of zeros, an index of 16777216 records"
echo "   (unpadded 5, uncompressed 0) and a footer, all CRCs right; claim-2p40.xz: 5 blocks of 64 KiB,"
echo "   the third claiming 2^40 bytes in the index"
"$block_memory" --runs "$reps" "$corrupt" "$claim"
echo
echo "== the same through the module under Wine (${bits}-bit, liblzma $revision), informative"
"${wine[@]}" "$bin/bench_block_decode.exe" --open-test --runs "$abort_reps" "$(winpath "$corrupt")" "$(winpath "$claim")"
