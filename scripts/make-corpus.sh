#!/usr/bin/env bash
# Generates the sample .xz files that the native tests and the fuzz seeds use,
# with the system's xz, into OUTDIR, and writes two manifests there:
#   expected.tsv  file, total unpacked size per `xz --robot --list` ("-" when
#                 xz cannot list the file), what the sample exercises
#   unlisted.tsv  for each file that xz cannot list: what opening it yields
#                 (ok SIZE, too-short or malformed)
#   decoded.tsv   file, what `xz -dc` makes of it: "ok SIZE CRC32" (CRC-32 of
#                 the decoded bytes, 8 hex digits) or "fail" when xz refuses it;
#                 for a sample of a filter newer than the system's xz, two more
#                 columns: the liblzma version that decodes it and the filter
# Usage: make-corpus.sh OUTDIR [FILTER_XZ_DIR]
#   FILTER_XZ_DIR  what scripts/build-native-xz.sh made: an xz that writes the
#                  samples of newer filters (RISC-V), and its about line
# Does nothing when OUTDIR/expected.tsv is newer than this script and was made
# with the same FILTER_XZ_DIR/about.
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 OUTDIR [FILTER_XZ_DIR]" >&2
    exit 2
fi
out=$1
filter_dir=${2:-}
self=$(readlink -f "$0")
filter_about="none: no FILTER_XZ_DIR given"
[[ -n $filter_dir ]] && filter_about=$(cat "$filter_dir/about" 2>/dev/null || echo "none: $filter_dir/about is missing")

if [[ -f $out/expected.tsv && $out/expected.tsv -nt $self &&
    "$(cat "$out/filter-encoder.txt" 2>/dev/null)" == "$filter_about" ]]; then
    exit 0
fi

command -v xz >/dev/null || { echo "make-corpus.sh: xz not found" >&2; exit 1; }
command -v gzip >/dev/null || { echo "make-corpus.sh: gzip not found" >&2; exit 1; }

mkdir -p "$out"
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
final=$out
# Everything is made aside and moved in at the end, so that a failed or
# concurrent run never leaves a half-made set behind a current manifest.
out=$work/samples
mkdir "$out"

manifest=$work/expected.tsv
unlisted=$work/unlisted.tsv
: >"$manifest"
: >"$unlisted"

# Deterministic text of N lines that compresses like prose-ish data.
gen_text() {
    seq 1 "$1" | awk '{ print "line " $1 " of the sample text, number " ($1 * 7919) % 100003 }'
}

# Overwrites bytes in place: patch_bytes FILE OFFSET HEXBYTE...
patch_bytes() {
    local file=$1 offset=$2
    shift 2
    local hex
    hex=$(printf '\\x%s' "$@")
    printf "$hex" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# CRC-32 of stdin as four little-endian hex bytes; gzip's trailer stores
# exactly this CRC, least significant byte first.
crc32_le() {
    gzip -c | tail -c 8 | head -c 4 | od -An -tx1 | tr -s ' \n' ' '
}

# Adds one line to the manifest: the size comes from xz itself, never from here.
record() { record_with xz "$@"; }
record_with() {
    local xz=$1 name=$2 what=$3 size
    if size=$("$xz" --robot --list "$out/$name" 2>/dev/null | awk -F'\t' '$1 == "totals" { print $5 }') &&
        [[ -n $size ]]; then
        :
    else
        size=-
    fi
    printf '%s\t%s\t%s\n' "$name" "$size" "$what" >>"$manifest"
}

# For a file xz cannot list: what opening it must give.
expect_unlisted() {
    printf '%s\t%s\t%s\n' "$1" "$2" "${3:--}" >>"$unlisted"
}

small=$work/small.txt
medium=$work/medium.txt
large=$work/large.txt
printf 'Hello, world.\nA short text in a single small block.\n' >"$small"
gen_text 8000 >"$medium"        # about 350 KB
gen_text 80000 >"$large.3m"     # about 3.5 MB
gen_text 900000 >"$large"       # about 40 MB

# --- files xz writes on its own -------------------------------------------
: | xz -T1 >"$out/good-empty.xz"
record good-empty.xz "stream without blocks: the block-header slot holds the empty index"

xz -T1 -c "$small" >"$out/good-small-text.xz"
record good-small-text.xz "one small block; its header stores no sizes, the index decides"

xz -T1 -c "$medium" >"$out/good-single-block.xz"
record good-single-block.xz "single-threaded: one block of a few hundred KB, sizes only in the index"

# The threaded encoder stores both sizes in every block header, so the first
# header alone would report a single block's share.
xz -T2 -1 -c "$large" >"$out/good-multiblock-t2.xz"
record good-multiblock-t2.xz "threaded: many blocks, each header storing its sizes; the index sum must win"

xz -T1 --block-size=1MiB -c "$large.3m" >"$out/good-blocksize-1mib.xz"
record good-blocksize-1mib.xz "four 1 MiB blocks without sizes in their headers; multi-record index"

xz -T1 -C none -c "$medium" >"$out/good-check-none.xz"
record good-check-none.xz "no integrity check field after the block"
xz -T1 -C crc32 -c "$medium" >"$out/good-check-crc32.xz"
record good-check-crc32.xz "4-byte CRC32 check field"
xz -T1 -C crc64 -c "$medium" >"$out/good-check-crc64.xz"
record good-check-crc64.xz "8-byte CRC64 check field"
xz -T1 -C sha256 -c "$medium" >"$out/good-check-sha256.xz"
record good-check-sha256.xz "32-byte SHA-256 check field"

xz -T1 -0 -c "$medium" >"$out/good-preset-0.xz"
record good-preset-0.xz "preset 0"
xz -T1 -9e -c "$medium" >"$out/good-preset-9e.xz"
record good-preset-9e.xz "preset 9 extreme"

xz -T1 --delta=dist=4 --x86 --lzma2=preset=1 -c "$medium" >"$out/good-filters-3.xz"
record good-filters-3.xz "three filters: a longer block header with filter-count bits set"

# --- branch-call filters ----------------------------------------------------
# Words shaped like the call and address instructions each filter rewrites
# (x86 E8 calls, ARM64 BL/ADRP, RISC-V JAL/AUIPC pairs) among others, with
# targets from a small set, so that the data packs and every filter has work.
python3 - "$work/code.bin" <<'PY'
import random, struct, sys
rng = random.Random(23)
targets = [rng.randrange(1 << 20) * 4 for _ in range(64)]
out = bytearray()
while len(out) < (3 << 19):
    t = rng.choice(targets)
    kind = rng.randrange(6)
    if kind == 0:
        out += b"\xe8" + struct.pack("<i", t - len(out)) + b"\x90\x90\x90"
    elif kind == 1:
        out += struct.pack("<I", 0x94000000 | (t >> 2) & 0x3FFFFFF)
    elif kind == 2:
        out += struct.pack("<I", 0x90000000 | ((t >> 12) & 3) << 29 | ((t >> 14) & 0x7FFFF) << 5 | rng.randrange(31))
    elif kind == 3:
        out += struct.pack("<I", 0x6F | 1 << 7 | (t & 0xFF000) | ((t >> 11) & 1) << 20 | ((t >> 1) & 0x3FF) << 21)
    elif kind == 4:
        rd = rng.randrange(1, 32)
        out += struct.pack("<I", 0x17 | rd << 7 | (t & 0xFFFFF000))
        out += struct.pack("<I", 0x67 | 1 << 7 | rd << 15 | (t & 0xFFF) << 20)
    else:
        out += struct.pack("<I", rng.choice([0x00000013, 0xD503201F, 0x8B020020, 0x00B50533]))
open(sys.argv[1], "wb").write(bytes(out))
PY
# A filter that left these bytes as they were would pass unseen; each must
# change some (raw stream, the filter first, then decoded without it).
filter_changes() {
    "$1" --format=raw "--$2" --lzma2=preset=1 -c "$work/code.bin" >"$work/raw" &&
        "$1" --format=raw -d --lzma2=preset=1 -c "$work/raw" >"$work/unfiltered" &&
        ! cmp -s "$work/unfiltered" "$work/code.bin"
}
for filter in x86 arm64; do
    filter_changes xz $filter || { echo "make-corpus.sh: --$filter leaves the sample data as it is" >&2; exit 1; }
done
xz -T1 --x86 --lzma2 -c "$work/code.bin" >"$out/good-filter-x86.xz"
record good-filter-x86.xz "x86 BCJ filter and LZMA2 over call-shaped data, one block"
xz -T1 --arm64 --lzma2 -c "$work/code.bin" >"$out/good-filter-arm64.xz"
record good-filter-arm64.xz "ARM64 BCJ filter and LZMA2 over BL/ADRP-shaped data, one block"

# Filters newer than the system's xz: written, listed and decoded by the
# native xz of build-native-xz.sh, and decoded by the Windows tests only (the
# native tests link the system's liblzma, which lacks them). Without that xz
# there are none, and filter-encoder.txt says why.
newer=()
if [[ -x ${filter_dir:-/nonexistent}/xz ]]; then
    fxz=$filter_dir/xz
    filter_changes "$fxz" riscv || { echo "make-corpus.sh: --riscv leaves the sample data as it is" >&2; exit 1; }
    "$fxz" -T1 --riscv --lzma2 -c "$work/code.bin" >"$out/good-filter-riscv.xz"
    "$fxz" -T2 --block-size=256KiB --riscv --lzma2 -c "$work/code.bin" >"$out/good-filter-riscv-t2.xz"
    "$fxz" -T1 --block-size=256KiB --riscv --lzma2 -c "$work/code.bin" >"$out/good-filter-riscv-blocks.xz"
    record_with "$fxz" good-filter-riscv.xz "RISC-V BCJ filter and LZMA2, one block (xz -T1; Windows only)"
    record_with "$fxz" good-filter-riscv-t2.xz "RISC-V BCJ filter, six blocks storing their sizes (xz -T2; Windows only)"
    record_with "$fxz" good-filter-riscv-blocks.xz "RISC-V BCJ filter, six blocks without sizes (xz -T1 --block-size; Windows only)"
    newer=(good-filter-riscv.xz good-filter-riscv-t2.xz good-filter-riscv-blocks.xz)
fi

# --- several streams and stream padding -----------------------------------
xz -T1 -c "$small" >"$work/s1.xz"
xz -T1 -C crc32 -c "$medium" >"$work/s2.xz"
xz -T2 -1 -c "$large.3m" >"$work/s3.xz"

cat "$work/s1.xz" "$work/s2.xz" >"$out/good-concat-2.xz"
record good-concat-2.xz "two concatenated streams: both indexes count"
cat "$work/s1.xz" "$work/s2.xz" "$work/s1.xz" >"$out/good-concat-3.xz"
record good-concat-3.xz "three concatenated streams: all indexes count"
cat "$work/s3.xz" "$work/s1.xz" >"$out/good-concat-sizes-first.xz"
record good-concat-sizes-first.xz "threaded stream (sizes in its headers) followed by another stream"
cat "$work/s2.xz" "$work/s3.xz" >"$out/good-mixed-streams.xz"
record good-mixed-streams.xz "a single-threaded stream (no sizes in its header), then a threaded one of two blocks"
cat "$out/good-empty.xz" "$work/s1.xz" "$out/good-empty.xz" >"$out/good-concat-empty.xz"
record good-concat-empty.xz "empty streams around a small one"

{ cat "$work/s1.xz"; head -c 4 /dev/zero; } >"$out/good-padded.xz"
record good-padded.xz "4 bytes of stream padding after the only stream"
{ cat "$work/s2.xz"; head -c 8 /dev/zero; } >"$out/good-padded-8.xz"
record good-padded-8.xz "8 bytes of stream padding after the only stream"
{ cat "$work/s1.xz"; head -c 4 /dev/zero; cat "$work/s2.xz"; head -c 8 /dev/zero; } >"$out/good-concat-padded.xz"
record good-concat-padded.xz "stream padding between streams and after the last"

# Padding of any length between and after the streams of a threaded (several
# blocks, sizes in their headers) file: past one 64 KiB read of the scan, two
# reads, and many.
for n in 65540 131072 1048576; do
    { cat "$work/s3.xz"; head -c "$n" /dev/zero; cat "$work/s1.xz"; head -c "$n" /dev/zero; } >"$out/good-padding-$n.xz"
    record "good-padding-$n.xz" "$n zero bytes of stream padding between two streams and after the last"
done

# Several blocks decoded block by block from the indexes: many streams of
# one block, blocks without sizes in their headers, and both mixed with
# sized blocks, padding and an empty stream.
split -n 24 -d "$large.3m" "$work/piece."
for f in "$work"/piece.*; do xz -T1 -6 -c "$f"; done >"$out/good-streams-24.xz"
record good-streams-24.xz "24 streams of one block each, as parallel writers make them"
xz -T1 --block-size=256KiB -c "$medium" >"$work/s4.xz"
{ cat "$work/s4.xz"; head -c 8 /dev/zero; cat "$out/good-empty.xz" "$work/s3.xz"; head -c 4 /dev/zero; cat "$work/s2.xz"; } \
    >"$out/good-mixed-padded.xz"
record good-mixed-padded.xz "blocks without sizes, padding, an empty stream, sized blocks, padding, one more stream"

# --- flags the probe accepts but the codec cannot check -------------------
# Check IDs 0x02 and 0x03 are reserved 4-byte checks: relabelling a CRC32
# stream keeps the container sound and listable, but nothing can verify the data.
xz -T1 -C crc32 -c "$small" >"$out/unsupported-check-id-2.xz"
f=$out/unsupported-check-id-2.xz
len=$(stat -c %s "$f")
patch_bytes "$f" 7 02
# shellcheck disable=SC2046
patch_bytes "$f" 8 $(printf '\x00\x02' | crc32_le)
patch_bytes "$f" $((len - 3)) 02
# shellcheck disable=SC2046
patch_bytes "$f" $((len - 12)) $(tail -c 8 "$f" | head -c 6 | crc32_le)
record unsupported-check-id-2.xz "reserved check ID 2 with valid CRCs: opens, cannot be verified"

# --- damaged files --------------------------------------------------------
big=$out/good-multiblock-t2.xz
head -c $(($(stat -c %s "$big") / 2)) "$big" >"$out/bad-truncated.xz"
record bad-truncated.xz "threaded file cut in the middle: no footer, the first header's size serves"
first_block=$(xz --robot --list -vv "$big" | awk -F'\t' '$1 == "block" && $4 == 1 { print $8 }')
expect_unlisted bad-truncated.xz ok "$first_block"

one=$out/good-single-block.xz
head -c $(($(stat -c %s "$one") / 2)) "$one" >"$out/bad-truncated-noheader-size.xz"
record bad-truncated-noheader-size.xz "single-threaded file cut short: no size anywhere"
expect_unlisted bad-truncated-noheader-size.xz malformed

: >"$out/bad-empty-file.xz"
record bad-empty-file.xz "zero bytes"
expect_unlisted bad-empty-file.xz too-short

head -c 11 "$work/s1.xz" >"$out/bad-short-11.xz"
record bad-short-11.xz "one byte less than a stream header"
expect_unlisted bad-short-11.xz too-short

head -c 12 "$work/s1.xz" >"$out/bad-header-only.xz"
record bad-header-only.xz "a valid stream header and nothing else"
expect_unlisted bad-header-only.xz malformed

cp "$work/s1.xz" "$out/bad-magic.xz"
patch_bytes "$out/bad-magic.xz" 0 fe
record bad-magic.xz "first magic byte wrong"
expect_unlisted bad-magic.xz malformed

cp "$work/s1.xz" "$out/bad-stream-flags-crc.xz"
patch_bytes "$out/bad-stream-flags-crc.xz" 8 00
record bad-stream-flags-crc.xz "stream flags do not match their CRC-32"
expect_unlisted bad-stream-flags-crc.xz malformed

cp "$work/s1.xz" "$out/bad-footer-crc.xz"
f=$out/bad-footer-crc.xz
patch_bytes "$f" $(($(stat -c %s "$f") - 12)) 00 00 00 00
record bad-footer-crc.xz "footer CRC-32 wrong and no size in the block header"
expect_unlisted bad-footer-crc.xz malformed

{ cat "$work/s1.xz"; head -c 3 /dev/zero; } >"$out/bad-padding-3.xz"
record bad-padding-3.xz "stream padding that is not a multiple of four"
expect_unlisted bad-padding-3.xz malformed

# Every sample that xz cannot list needs a stated outcome, and only those.
awk -F'\t' 'NR == FNR { stated[$1] = 1; next }
            $2 == "-" && !($1 in stated) { print "make-corpus.sh: no outcome for " $1 > "/dev/stderr"; bad = 1 }
            $2 != "-" && ($1 in stated) { print "make-corpus.sh: xz lists " $1 > "/dev/stderr"; bad = 1 }
            END { exit bad }' "$unlisted" "$manifest"

# Packing references: what the system's xz writes at the plug-in's default
# settings (rate 6, extreme, CRC-64, one thread) for a text and for nothing,
# and with two threads, whose stream any larger thread count repeats.
gen_text 60000 >"$work/pack-source.txt"
: >"$work/pack-empty.txt"
for f in pack-source.txt pack-empty.txt; do
    xz -6e -T1 --check=crc64 -c "$work/$f" >"$work/$f.ref"
    xz -6e -T2 --check=crc64 -c "$work/$f" >"$work/$f.6e-T2.ref"
done
# Several 3 MiB blocks at rate 1, so that the threads really share the work.
gen_text 160000 >"$work/pack-blocks.txt"
xz -1 -T1 --check=crc64 -c "$work/pack-blocks.txt" >"$work/pack-blocks.txt.1-T1.ref"
xz -1 -T2 --check=crc64 -c "$work/pack-blocks.txt" >"$work/pack-blocks.txt.1-T2.ref"

# Packing at every rate, with and without extreme, on one thread and on two:
# what the system's xz writes, an oracle apart from the shipped library.
gen_text 6000 >"$work/pack-rates.txt"
for rate in 1 2 3 4 5 6 7 8 9; do
    for e in "" e; do
        for t in 1 2; do
            xz -"$rate$e" -T$t --check=crc64 -c "$work/pack-rates.txt" >"$work/pack-rates.txt.$rate$e-T$t.ref"
        done
    done
done

# What extraction must produce, by the system's own decoder (by the native
# one for the newer filters).
decoded=$work/decoded.tsv
for f in "$out"/*.xz; do
    name=$(basename "$f")
    decoder=xz extra=
    if [[ " ${newer[*]} " == *" $name "* ]]; then
        decoder=$fxz extra=$'\t5.6.0\tRISC-V BCJ filter'
    fi
    if summary=$("$decoder" -dc "$f" 2>/dev/null | python3 -c 'import sys, zlib
n = 0; c = 0
for block in iter(lambda: sys.stdin.buffer.read(1 << 20), b""):
    n += len(block); c = zlib.crc32(block, c)
print(n, "%08x" % c)'; exit "${PIPESTATUS[0]}"); then
        printf '%s\tok %s%s\n' "$name" "$summary" "$extra" >>"$decoded"
    else
        printf '%s\tfail\n' "$name" >>"$decoded"
    fi
done

# Samples from an earlier version of this script must not linger.
rm -f "$final"/*.xz "$final/expected.tsv" "$final/unlisted.tsv" "$final/decoded.tsv"
mv "$out"/*.xz "$final"/
mv "$decoded" "$final/decoded.tsv"
rm -f "$final"/pack-*
mv "$work"/pack-* "$final"/
mv "$unlisted" "$final/unlisted.tsv"
echo "$filter_about" >"$final/filter-encoder.txt"
mv "$manifest" "$final/expected.tsv"
