#!/usr/bin/env bash
# Installs what building and testing the plug-in needs on a Debian 12 machine.
# Safe to run again: when everything is present it prints nothing and returns fast.
set -euo pipefail

need_root() {
    if [ "$(id -u)" != 0 ]; then
        echo "setup: run as root (packages are missing: $*)" >&2
        exit 1
    fi
}

# Debian packages the build and the tests use.  wine32:i386 runs the 32-bit module;
# gcc-i686-linux-gnu builds the library that 32-bit Wine preloads in the fault tests.
PACKAGES=(
    g++-mingw-w64-i686 gcc-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    libz-mingw-w64-dev zlib1g-dev
    wine wine32:i386 wine64
    xvfb x11-apps imagemagick
    googletest
    cmake make ninja-build
    clang libclang-rt-14-dev gcc-i686-linux-gnu
    xz-utils liblzma-dev dpkg-dev
    zip unzip
    python3
    locales # localedef's sources: the console host's test builds a Greek locale
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

# A mirror being synced can serve a Release file that does not yet match an
# index it lists ("File has unexpected size ... Mirror sync in progress?").
# That passes with time, so apt-get update is retried; if it still fails, the
# indexes that did load may yet hold every package needed, which the install
# step finds out. update_failed keeps the indexes apt could not read.
updated=0
update_failed=
apt_update() {
    [ "$updated" = 0 ] || return 0
    updated=1
    local try log
    log=$(mktemp)
    for try in 1 2 3 4; do
        if apt-get update -qq >/dev/null 2>"$log"; then
            update_failed=
            rm -f "$log"
            return 0
        fi
        update_failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u)
        [ -n "$update_failed" ] || update_failed=$(grep '^[EW]:' "$log" || true)
        [ "$try" = 4 ] || sleep $((try * 5))
    done
    rm -f "$log"
    echo "setup: apt-get update failed four times; could not read:" >&2
    printf '%s\n' "$update_failed" | sed 's/^/    /' >&2
    echo "setup: going on with the indexes that did load" >&2
}

# Installs the packages named, or says in words why it cannot. Where an index
# failed, a suite may be only half known: its amd64 packages newer than its
# i386 ones, which Multi-Arch packages such as wine32's libraries must match.
# The release suite alone is then consistent across architectures, so it is
# tried next.
apt_install() {
    local log
    log=$(mktemp)
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null 2>"$log"; then
        rm -f "$log"
        return 0
    fi
    if [ -n "$update_failed" ] && [ -n "$codename" ] &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t "$codename" "$@" >/dev/null 2>"$log"; then
        echo "setup: installed from $codename alone, as an index above could not be read" >&2
        rm -f "$log"
        return 0
    fi
    cat "$log" >&2
    rm -f "$log"
    if [ -n "$update_failed" ]; then
        echo "setup: the packages cannot be installed because apt could not read these indexes:" >&2
        printf '%s\n' "$update_failed" | sed 's/^/    /' >&2
        echo "setup: a mirror that is being synced serves such a half-written index for a while;" >&2
        echo "setup: it passes with time, so run this again later (or use another mirror)." >&2
    else
        echo "setup: apt-get could not install: $*" >&2
    fi
    exit 1
}
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null | tr -d "\"'" || true)

# wine32 lives in the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root i386
    dpkg --add-architecture i386
fi

# The codec is cross-built from Debian's own xz-utils sources, which
# scripts/fetch-xz-source.sh reads through an apt state of its own under
# build/deps (source entries only, made from this machine's entries by
# deb-src-entry.sh): the machine's apt needs no source entry, and one of its
# binary indexes that a mirror is still syncing cannot hide them. (An entry
# /etc/apt/sources.list.d/xzplugin-src.sources from an older setup is no
# longer needed and may be removed.)

if [ "${#missing[@]}" -gt 0 ]; then
    need_root "${missing[@]}"
    echo "setup: installing ${missing[*]}"
    apt_update
    apt_install "${missing[@]}"
fi
