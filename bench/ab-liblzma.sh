#!/usr/bin/env bash
# The liblzma A/B of `make bench` (bench/run.sh runs it last; it also runs on
# its own): the plug-in's test and extraction through ProcessFile with the
# shipped liblzma.dll (A) against one built only for this bench (B, never
# shipped) from the release the plug-in shipped before: Debian 12's
# xz-utils 5.4.1, its newest revision that carries every fix, else its newest
# that can be fetched. The same xz.ztx and bench_codec_ab.exe sit in two
# folders that differ only in liblzma.dll; the two run alternately (A B,
# B A, ...), each pair back to back, and each row gives the median of the
# pairs' ratios. Where 32-bit Wine starts, the 32-bit build runs too, and
# there also the shipped source built with -msse2 (C) against A.
# Inputs, made once into build/bench/data: the generated prose (96 MiB) and
# Wine's 64-bit DLLs concatenated to 64 MiB, each packed by the system's
# xz -6 -T1 into one block, so that the codec's own decoder does the work.
#
# Environment:
#   BENCH_AB_PAIRS             pairs per row, median kept (default 5)
#   BENCH_AB_ROUNDS            rounds of test and extraction per run, best kept (default 3)
#   BENCH_AB_BASELINE_RELEASE  the release B comes from (default bookworm)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
cache=$top/build/bench
data=$cache/data
pairs=${BENCH_AB_PAIRS:-5}
rounds=${BENCH_AB_ROUNDS:-3}
baseline=${BENCH_AB_BASELINE_RELEASE:-bookworm}
mkdir -p "$data"
winpath() { wine_path "$(readlink -f "$1")"; }

# --- inputs ---------------------------------------------------------------
# Text: the prose of run.sh (made the same way when this runs on its own).
text_recipe="ab-text.xz: xz -6 -T1 of prose (96 MiB from gen-text.awk)"
if [ "$(cat "$data/recipe-ab-text" 2>/dev/null)" != "$text_recipe" ] || [ ! -f "$data/ab-text.xz" ]; then
    echo "bench: packing the A/B text input (once, a few minutes; cached in build/bench/data)" >&2
    if [ ! -f "$data/prose" ]; then
        awk -v size=$((96 << 20)) -f "$top/bench/gen-text.awk" >"$data/prose"
        truncate -s $((96 << 20)) "$data/prose"
    fi
    xz -6 -T1 -c "$data/prose" >"$data/ab-text.xz"
    echo "$text_recipe" >"$data/recipe-ab-text"
fi
# Binary: real machine code that every build machine has, the 64-bit Windows
# DLLs of Wine (x86-64 code, as the module runs it). The mingw-w64 import
# libraries, also at hand, are stubs repeated a thousand times: they pack
# to under 4 %, where code packs to about a quarter, and decode in a tenth
# of the time, so they would time the copying of matches, not the decoder.
libs=(/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*.dll)
binary_recipe="ab-binary: ${#libs[@]} DLLs of /usr/lib/x86_64-linux-gnu/wine/x86_64-windows in order of \
name, cut at 64 MiB; ab-binary.xz: xz -6 -T1"
if [ "$(cat "$data/recipe-ab-binary" 2>/dev/null)" != "$binary_recipe" ] || [ ! -f "$data/ab-binary.xz" ]; then
    echo "bench: making the A/B binary input (once, a few minutes; cached in build/bench/data)" >&2
    : >"$data/ab-binary"
    for f in "${libs[@]}"; do
        [ -f "$f" ] || continue
        cat "$f" >>"$data/ab-binary"
        [ "$(stat -c %s "$data/ab-binary")" -lt $((64 << 20)) ] || break
    done
    if [ "$(stat -c %s "$data/ab-binary")" -lt $((64 << 20)) ]; then
        echo "bench: Wine's 64-bit DLLs add up to less than 64 MiB; the A/B rows are skipped" >&2
        exit 0
    fi
    truncate -s $((64 << 20)) "$data/ab-binary"
    xz -6 -T1 -c "$data/ab-binary" >"$data/ab-binary.xz"
    echo "$binary_recipe" >"$data/recipe-ab-binary"
fi
inputs=("text=$data/ab-text.xz" "binary=$data/ab-binary.xz")

# --- one row: SIDE_X SIDE_Y, paired ------------------------------------------
# ab_row WINE... -- LABEL DIR_X DIR_Y ARCHIVE: prints the medians of the
# pairs' ratios Y/X for test and extraction, and each side's extraction
# against its own test (test time / extraction time).
ab_row() {
    local -a wine=()
    while [ "$1" != -- ]; do wine+=("$1"); shift; done
    shift
    local label=$1 x=$2 y=$3 archive=$4 i side dir line times=
    local out=$cache/ab-out
    mkdir -p "$out"
    for ((i = 0; i < pairs; i++)); do
        for side in $([ $((i % 2)) = 0 ] && echo "x y" || echo "y x"); do
            [ "$side" = x ] && dir=$x || dir=$y
            line=$("${wine[@]}" "$dir/bench_codec_ab.exe" --runs "$rounds" "$(winpath "$archive")" "$(winpath "$out")")
            times+="$i $side $(awk '{ print $4, $6 }' <<<"$line")"$'\n'
        done
    done
    rm -rf "$out"
    awk -v label="$label" '
        function median(a, n,    i, j, t) {
            for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        NF == 4 { T[$1, $2] = $3; E[$1, $2] = $4; if ($1 + 1 > n) n = $1 + 1 }
        END {
            for (i = 0; i < n; i++) {
                rt[i + 1] = T[i, "y"] / T[i, "x"]; re[i + 1] = E[i, "y"] / E[i, "x"]
                tx[i + 1] = T[i, "x"]; ty[i + 1] = T[i, "y"]; ex[i + 1] = E[i, "x"]; ey[i + 1] = E[i, "y"]
                sx[i + 1] = T[i, "x"] / E[i, "x"]; sy[i + 1] = T[i, "y"] / E[i, "y"]
            }
            printf "  %-8s %7.3f %7.3f %7.3f   %7.3f %7.3f %7.3f   %6.3f %6.3f\n", label,
                median(tx, n), median(ty, n), median(rt, n), median(ex, n), median(ey, n), median(re, n),
                median(sx, n), median(sy, n)
        }' <<<"$times"
}

# Whether a row's column met its target: verdict VALUE TARGET
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { printf "%.3f, target >= %.2f: %s", v, t, (v >= t ? "met" : "MISSED") }'; }

# --- per word size ------------------------------------------------------------
word_sizes=(64)
can_run_32bit && word_sizes=(32 64)
for bits in "${word_sizes[@]}"; do
    if [ "$bits" = 32 ]; then
        host=i686-w64-mingw32 wine=("$top/scripts/wine-run.sh")
    else
        host=x86_64-w64-mingw32 wine=("$top/scripts/wine-run.sh" --64)
    fi
    bin=$top/build/win$bits/bin
    shipped=$top/build/liblzma$bits
    for f in "$bin/xz.ztx" "$bin/bench_codec_ab.exe" "$shipped/liblzma.dll" "$shipped/about"; do
        [ -f "$f" ] || { echo "bench: $f is missing (make win$bits)" >&2; exit 1; }
    done

    # B: the baseline, built for this bench only, beside its bench folder.
    base=$cache/liblzma-$baseline-$host
    if ! bash "$top/scripts/build-liblzma.sh" "$base" "$host" --deps "$top/build/deps" --release "$baseline" 2>"$cache/ab-build.log"; then
        bash "$top/scripts/build-liblzma.sh" "$base" "$host" --deps "$top/build/deps" --newest "$baseline" 2>"$cache/ab-build.log" || {
            cat "$cache/ab-build.log" >&2
            echo "bench: no liblzma of $baseline can be built; the A/B rows are skipped" >&2
            continue
        }
    fi
    sides=("A=$shipped" "B=$base")
    if [ "$bits" = 32 ]; then
        sse2=$cache/liblzma-sse2-$host
        bash "$top/scripts/build-liblzma.sh" "$sse2" "$host" --selection "$shipped/selection.env" --cflags -msse2 \
            2>>"$cache/ab-build.log" && sides+=("C=$sse2")
    fi
    for s in "${sides[@]}"; do
        rm -rf "$cache/ab$bits/${s%%=*}"
        mkdir -p "$cache/ab$bits/${s%%=*}"
        cp "$bin/xz.ztx" "$bin/bench_codec_ab.exe" "${s#*=}/liblzma.dll" "$cache/ab$bits/${s%%=*}/"
    done

    echo
    echo "== liblzma A/B under Wine, $bits-bit build: the same xz.ztx, only liblzma.dll differs"
    echo "   A: the shipped liblzma.dll, $(cat "$shipped/about")"
    echo "   B: built for this bench only, never shipped: $(cat "$base/about")"
    [ -d "$cache/ab$bits/C" ] && echo "   C: A's source built with -msse2, for this bench only: $(cat "$sse2/about")"
    [ "$(cat "$shipped/revision")" != "$(cat "$base/revision")" ] ||
        echo "   A and B come from the same source revision: the ratios show the rig's noise, not a codec's gain"
    echo "   load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
    echo "   command: bench_codec_ab.exe --runs $rounds ARCHIVE OUTDIR, from A/ and B/ alternately, $pairs pairs;"
    echo "   each run's best test and best extraction; the medians of the pairs' times and ratios"
    printf '  %-8s %7s %7s %7s   %7s %7s %7s   %6s %6s\n' input "A test" "B test" "B/A" "A extr" "B extr" "B/A" \
        "A e/t" "B e/t"
    declare -A gain=() share=()
    for entry in "${inputs[@]}"; do
        name=${entry%%=*} archive=${entry#*=}
        row=$(ab_row "${wine[@]}" -- "$name" "$cache/ab$bits/A" "$cache/ab$bits/B" "$archive")
        echo "$row"
        gain[$name]=$(awk '{ print $4 }' <<<"$row")
        share[$name]=$(awk '{ print $8 }' <<<"$row")
    done
    echo "  (times in seconds; B/A: B's time over A's, above 1 when A is faster; e/t: the test's time"
    echo "   over the extraction's, the extraction's speed as a share of the test's)"
    if [ "$bits" = 64 ]; then
        echo "  test, binary: $(verdict "${gain[binary]}" 1.30)"
        echo "  test, text:   $(verdict "${gain[text]}" 1.15)"
    else
        echo "  test, binary: $(verdict "${gain[binary]}" 0.98)"
        echo "  test, text:   $(verdict "${gain[text]}" 0.98)"
    fi
    echo "  extraction against the test with A, binary: $(verdict "${share[binary]}" 0.95)"
    echo "  extraction against the test with A, text:   $(verdict "${share[text]}" 0.95)"
    if [ -d "$cache/ab$bits/C" ]; then
        echo "  -msse2 (C) against A: A's time over C's, above 1 when -msse2 is faster"
        for entry in "${inputs[@]}"; do
            ab_row "${wine[@]}" -- "${entry%%=*}" "$cache/ab$bits/C" "$cache/ab$bits/A" "${entry#*=}"
        done
    elif [ "$bits" = 64 ] && ! can_run_32bit; then
        echo "  32-bit rows (the product's own gain, and -msse2) skipped: 32-bit Wine cannot start on this kernel"
    fi
done
