#!/usr/bin/env bash
# Runs a GoogleTest program (through the emulator words given before it) and
# passes only when it exits with 0 and its output holds GoogleTest's own
# closing summary with no failure. Either alone can lie: a program that
# crashes after its summary, or a debugger that ends a crashed program with
# 0, or a program that exits early with 0 before running its tests.
# Usage: gtest-check.sh [EMULATOR...] PROGRAM [ARGS...]
set -uo pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ]; then
    echo "gtest-check: the program exited with $status" >&2
    exit 1
fi
if ! grep -Eq '^\[  PASSED  \] [0-9]+ tests?\.' "$log"; then
    echo "gtest-check: no GoogleTest summary in the output" >&2
    exit 1
fi
if grep -q '^\[  FAILED  \]' "$log"; then
    echo "gtest-check: GoogleTest reported failures" >&2
    exit 1
fi
exit 0
