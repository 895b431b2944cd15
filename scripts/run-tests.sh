#!/usr/bin/env bash
# Runs every test suite: the native core under the sanitizers, the module under
# Wine, and each fuzz target for a bounded time. Ends with one summary line.
# Usage: run-tests.sh [FUZZ_SECONDS]
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/wine-env.sh"
fuzz_seconds=${1:-30}
results=$top/build/test-results
rm -rf "$results"
mkdir -p "$results"
status=0

# One fixed zone with a half-hour offset for both time paths of the module
# (see wine-run.sh), so that a UTC/local mix-up cannot pass unnoticed.
export XZ_TEST_TZ=${XZ_TEST_TZ:-IST-5:30}

# ctest tests that failed without a GoogleTest report of their own (a
# crash, a timeout, a script or a file check): the closing line counts them
# too, since the reports alone cannot show a program that never wrote one.
unreported=0
count_unreported() {
    local build=$1 xml_dir=$2 entry name
    [ -f "$build/Testing/Temporary/LastTestsFailed.log" ] || return 0
    while IFS= read -r entry; do
        name=${entry#*:}
        [ -f "$xml_dir/$name.xml" ] && grep -q '<failure' "$xml_dir/$name.xml" && continue
        echo "   failed without a report of its own: $name"
        unreported=$((unreported + 1))
    done <"$build/Testing/Temporary/LastTestsFailed.log"
}

# GoogleTest inside Wine wants a Windows path for its XML report.
win_results() { mkdir -p "$results/$1"; printf 'xml:%s\\' "$(wine_path "$results/$1")"; }

# A wineserver kept alive for the whole run saves its start-up per program;
# it is this prefix's own, and only it is stopped at the end.
start_wineserver() {
    "$top/scripts/wine-up.sh" "$@"
    local prefix
    if [ "${1:-}" = "--64" ]; then prefix=${WINEPREFIX64:-$top/build/wineprefix64}; else prefix=${WINEPREFIX32:-$top/build/wineprefix32}; fi
    WINEPREFIX=$prefix wineserver -p 2>/dev/null || true
    prefixes+=("$prefix")
}
prefixes=()
stop_wineservers() {
    for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null || true; done
}
xvfb_pid=
stop_all() {
    stop_wineservers
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    true
}
trap stop_all EXIT

# The settings dialog tests need a display; the others run without one.
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 120); do
        [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        export DISPLAY=:$n
        break
    done
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done
fi

echo "== native core (ASan + UBSan)"
# Each native test is its own process, so ctest's own report counts them.
ctest --test-dir "$top/build/native" --output-on-failure -j2 --output-junit "$results/native.xml" || status=1

echo "== module, 64-bit build under 64-bit Wine"
start_wineserver --64
GTEST_OUTPUT=$(win_results win64) ctest --test-dir "$top/build/win64" --output-on-failure -j2 ||
    { status=1; count_unreported "$top/build/win64" "$results/win64"; }

if can_run_32bit; then
    echo "== module, 32-bit build under 32-bit Wine"
    start_wineserver
    GTEST_OUTPUT=$(win_results win32) ctest --test-dir "$top/build/win32" --output-on-failure -j2 ||
        { status=1; count_unreported "$top/build/win32" "$results/win32"; }
else
    echo "== module, 32-bit build: file checks only"
    echo "   this kernel cannot run 32-bit programs, so 32-bit Wine cannot start here;"
    echo "   the same tests ran above on the 64-bit build of the same sources"
    ctest --test-dir "$top/build/win32" --output-on-failure -L static || status=1
fi

echo "== release: make-dist.sh into a scratch folder, and its zip checked"
dist_check=$top/build/dist-check
rm -rf "$dist_check"
{ bash "$top/scripts/make-dist.sh" "$dist_check" && python3 "$top/scripts/check-dist.py" "$dist_check"; } || status=1

echo "== release: a second build in other folders gives the same bytes"
bash "$top/scripts/check-reproducible.sh" || status=1

if [ "$fuzz_seconds" -gt 0 ]; then
    echo "== fuzzing, ${fuzz_seconds}s per target"
    "$top/scripts/fuzz.sh" "$fuzz_seconds" || status=1
fi

python3 "$top/scripts/summarize-tests.py" --unreported "$unreported" "$results" || status=1
exit $status
