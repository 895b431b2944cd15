#!/usr/bin/env bash
# Completes dist/ after the 32-bit build: installation text, licences and checksums.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dist=$top/dist
cp "$top/docs/INSTALL.txt" "$dist/INSTALL.txt"
cp "$top/build/liblzma32/COPYING.xz-utils" "$dist/LICENSE.liblzma"
cp /usr/share/doc/libz-mingw-w64-dev/copyright "$dist/LICENSE.zlib"
(cd "$dist" && rm -f SHA256SUMS && sha256sum xz.ztx liblzma.dll ztxhost.exe INSTALL.txt LICENSE.liblzma LICENSE.zlib >SHA256SUMS)
