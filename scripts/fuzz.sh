#!/usr/bin/env bash
# Runs the libFuzzer targets of the native build for a bounded time each.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]
#   (targets: probe multibyte open_test block_recipe; default all)
# Expects an existing build in build/native (it compiles nothing). Seeds a
# working corpus per target under build/native/fuzz-corpus from the generated
# sample corpus, keeps what the fuzzer adds there across runs (block_recipe,
# whose inputs are recipes, starts from the recipes the build wrote each
# run), and exits non-zero on any crash, leak, timeout or sanitizer report.
set -euo pipefail

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(probe multibyte open_test block_recipe)

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native
# The sample corpus lives where the build was told to put it.
samples=$(sed -n 's/^XZ_CORPUS_DIR:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[[ -n $samples ]] || samples=$build/corpus
max_len=65536

for t in "${targets[@]}"; do
    if [[ ! -x $build/fuzz/fuzz_$t ]]; then
        echo "fuzz.sh: $build/fuzz/fuzz_$t is missing; build build/native with clang first" >&2
        exit 2
    fi
done

# The samples come from a script, not a compiler; it does nothing when they are current.
bash "$root/scripts/make-corpus.sh" "$samples"

artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
status=0
for t in "${targets[@]}"; do
    work=$build/fuzz-corpus/$t
    mkdir -p "$work"
    if [[ $t == block_recipe ]]; then
        # Its inputs are recipes, not .xz files: the seed recipes the build
        # wrote. Each input builds an archive and decodes it twice on
        # threads, some 20-50 a second, and libFuzzer runs its whole corpus
        # before its time starts to count: this corpus starts from the seeds
        # every run, so that no run lasts longer than the one before.
        rm -rf "$work"
        mkdir -p "$work"
        cp -f "$build/fuzz/block_recipe_seeds"/* "$work/"
    else
        # Seeds: every sample that fits the length limit whole; of larger ones the
        # head (stream header and first block header) and a splice of head and
        # tail (a real footer and index behind a real header).
        for f in "$samples"/*.xz; do
            name=$(basename "$f")
            size=$(stat -c %s "$f")
            if ((size < max_len)); then
                cp -f "$f" "$work/seed-$name"
            else
                head -c $((max_len / 2)) "$f" >"$work/seed-head-$name"
                head -c $((max_len / 4)) "$f" >"$work/seed-splice-$name"
                tail -c $((max_len / 4)) "$f" >>"$work/seed-splice-$name"
            fi
        done
    fi

    log=$build/fuzz-$t.log
    rc=0
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=$max_len \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$work" >"$log" 2>&1 || rc=$?

    runs=$(awk '/^stat::number_of_executed_units:/ { print $2 }' "$log" | tail -1)
    speed=$(awk '/^stat::average_exec_per_sec:/ { print $2 }' "$log" | tail -1)
    files=$(find "$work" -type f | wc -l)
    if [[ $rc -ne 0 ]] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|property violated|deadly signal' "$log"; then
        echo "fuzz_$t: FAILED (exit $rc) after ${runs:-?} runs; see $log and $artifacts/$t-*"
        grep -m 5 -E 'ERROR:|runtime error:|property violated|SUMMARY' "$log" || true
        status=1
    else
        echo "fuzz_$t: ${runs:-0} runs, ${speed:-0} exec/s, corpus $files files, no findings"
    fi
done
exit $status
