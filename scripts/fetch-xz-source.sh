#!/usr/bin/env bash
# Fetches Debian's xz-utils source package into DIR, once, and prints the path
# of its upstream tarball. Usage: fetch-xz-source.sh DIR
set -euo pipefail
dir=$(mkdir -p "$1" && cd "$1" && pwd)
cd "$dir"
tarball=$(ls xz-utils_*.orig.tar.* 2>/dev/null | head -n 1 || true)
if [ -z "$tarball" ]; then
    # apt-get drops privileges to _apt for downloads; let it write here.
    chmod 777 "$dir" 2>/dev/null || true
    apt-get source --download-only -qq xz-utils >/dev/null 2>"$dir/apt-source.log" || {
        cat "$dir/apt-source.log" >&2
        echo "fetch-xz-source: cannot fetch the xz-utils source package (was scripts/setup.sh run?)" >&2
        exit 1
    }
    tarball=$(ls xz-utils_*.orig.tar.* | head -n 1)
fi
echo "$dir/$tarball"
