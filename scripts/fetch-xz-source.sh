#!/usr/bin/env bash
# Fetches Debian's xz-utils source package into DIR and prints the path of
# its .dsc. The revision is the newest that the machine's deb-src entries
# offer (a security update lives in another suite than the release), and the
# fetch is keyed by it: the upstream tarball's name is the same for every
# Debian revision of one upstream version, so its presence says nothing.
# Usage: fetch-xz-source.sh DIR
set -euo pipefail
dir=$(mkdir -p "$1" && cd "$1" && pwd)
cd "$dir"

fail() {
    [ -f "$dir/apt-source.log" ] && cat "$dir/apt-source.log" >&2
    echo "fetch-xz-source: $* (was scripts/setup.sh run?)" >&2
    exit 1
}

# apt-get source prints the files of the revision it would take, the newest;
# from an empty folder, since it names no file that is already present.
mkdir -p "$dir/.probe"
dsc=$(cd "$dir/.probe" && apt-get source --print-uris -qq xz-utils 2>"$dir/apt-source.log" |
    sed -n "s/^'[^']*' \(xz-utils_[^ ]*\.dsc\) .*/\1/p" | head -n 1) ||
    true
[ -n "$dsc" ] || fail "apt offers no xz-utils source package"

# The .dsc names every file of the revision; all of them must be here.
complete() {
    [ -f "$dsc" ] || return 1
    local f
    for f in $(sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]\{32\} [0-9]* //p' "$dsc"); do
        [ -f "$f" ] || return 1
    done
}
if ! complete; then
    # apt-get drops privileges to _apt for downloads; let it write here.
    chmod 777 "$dir" 2>/dev/null || true
    apt-get source --download-only -qq xz-utils >/dev/null 2>"$dir/apt-source.log" ||
        fail "cannot fetch the xz-utils source package"
    complete || fail "apt fetched no complete $dsc"
fi
echo "$dir/$dsc"
