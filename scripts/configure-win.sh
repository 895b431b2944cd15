#!/usr/bin/env bash
# Configures build/winBITS, the cross build of the module, the console host and
# the test programs for 32- or 64-bit Windows, against build/liblzmaBITS.
# `make win32`, `make win64` and the demo share the tree this way.
# Usage: configure-win.sh 32|64
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
32) toolchain=mingw-i686 ;;
64) toolchain=mingw-x86_64 ;;
*) echo "usage: configure-win.sh 32|64" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$top/build/win$1" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DLIBLZMA_DIR="$top/build/liblzma$1" -DXZ_CORPUS_DIR="$top/build/corpus" >/dev/null
