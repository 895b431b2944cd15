#!/usr/bin/env bash
# Builds the 32-bit module, console host and liblzma.dll a second time, from a
# copy of the sources in another folder into another build folder, and
# checks that they equal the files of the main build byte for byte: what a
# user or a distribution does to check a release. Needs `make win32` first.
# Usage: check-reproducible.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
main=$top/build
repro=$top/build/repro
start=$SECONDS

for f in "$main/win32/bin/xz.ztx" "$main/win32/bin/ztxhost.exe" "$main/liblzma32/liblzma.dll" \
    "$main/liblzma32/selection.env"; do
    [ -f "$f" ] || { echo "check-reproducible: $f is missing (run make win32 first)" >&2; exit 1; }
done

rm -rf "$repro"
mkdir -p "$repro/source-copy"
# The sources as they stand in the work tree (untracked new files too, ignored
# ones not), in a folder of another name and depth.
git -C "$top" ls-files -z --cached --others --exclude-standard | (cd "$top" && tar --null -T - -cf -) | tar -xf - -C "$repro/source-copy"
# The same source package revision, as the main build chose it; not chosen
# or fetched again.
bash "$top/scripts/build-liblzma.sh" "$repro/liblzma32" i686-w64-mingw32 --selection "$main/liblzma32/selection.env"
cmake -S "$repro/source-copy" -B "$repro/win32" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$repro/source-copy/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DLIBLZMA_DIR="$repro/liblzma32" -DXZ_CORPUS_DIR="$repro/corpus" >/dev/null
cmake --build "$repro/win32" --target xz_ztx ztxhost >/dev/null

status=0
for pair in "xz.ztx=win32/bin/xz.ztx" "ztxhost.exe=win32/bin/ztxhost.exe" "liblzma.dll=liblzma32/liblzma.dll"; do
    name=${pair%%=*} path=${pair#*=}
    if cmp -s "$main/$path" "$repro/$path"; then
        echo "   $name: identical ($(sha256sum <"$main/$path" | cut -c1-16)...)"
    else
        echo "   $name: DIFFERS between the two builds ($(cmp -l "$main/$path" "$repro/$path" | wc -l) bytes)" >&2
        status=1
    fi
done
echo "   two 32-bit builds compared in $((SECONDS - start)) s"
[ $status -eq 0 ] && rm -rf "$repro"
exit $status
