#!/usr/bin/env bash
# Runs every test suite: the native core under the sanitizers, the module under
# Wine, and each fuzz target for a bounded time. Ends with one summary line.
# Usage: run-tests.sh [FUZZ_SECONDS]
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fuzz_seconds=${1:-30}
results=$top/build/test-results
rm -rf "$results"
mkdir -p "$results"
status=0

export WINEPREFIX=${WINEPREFIX:-$top/build/wineprefix}
# One fixed zone for both time paths of the module (see wine-run.sh).
export XZ_TEST_TZ=${XZ_TEST_TZ:-IST-5:30}
export TZ=$XZ_TEST_TZ

# A wineserver kept alive for the whole run saves its start-up per program;
# it is this prefix's own, and only it is stopped at the end.
"$top/scripts/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
wineserver -p 2>/dev/null || true
stop_wineserver() { wineserver -k 2>/dev/null || true; }
trap stop_wineserver EXIT

echo "== native core (ASan + UBSan)"
GTEST_OUTPUT=xml:$results/native/ ctest --test-dir "$top/build/native" --output-on-failure -j2 || status=1

echo "== module under Wine"
GTEST_OUTPUT=xml:$results/win/ ctest --test-dir "$top/build/win" --output-on-failure -j2 || status=1

if [ "$fuzz_seconds" -gt 0 ] && [ -x "$top/scripts/fuzz.sh" ]; then
    echo "== fuzzing, ${fuzz_seconds}s per target"
    "$top/scripts/fuzz.sh" "$fuzz_seconds" || status=1
fi

python3 "$top/scripts/summarize-tests.py" "$results" || status=1
exit $status
