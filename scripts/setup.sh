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

updated=0
apt_update() {
    if [ "$updated" = 0 ]; then
        apt-get update -qq >/dev/null
        updated=1
    fi
}

# wine32 lives in the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root i386
    dpkg --add-architecture i386
fi

# The codec is cross-built from Debian's own xz-utils sources, so source entries
# must be known; they come from the same archives or mirrors as the machine's
# packages. An entry written by an older setup (one suite only) is replaced,
# so that the newest revision, which may live in the security suite, is seen.
SRC_LIST=/etc/apt/sources.list.d/xzplugin-src.sources
stanza=$(bash "$(dirname "$0")/deb-src-entry.sh")
src_text="# Added by xz.ztx's scripts/setup.sh: Debian's source packages, for apt-get source.
$stanza"
src_changed=0
if [ ! -f "$SRC_LIST" ] || [ "$(cat "$SRC_LIST")" != "$src_text" ]; then
    need_root deb-src
    printf '%s\n' "$src_text" >"$SRC_LIST"
    src_changed=1
fi

if [ "${#missing[@]}" -gt 0 ]; then
    need_root "${missing[@]}"
    echo "setup: installing ${missing[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# apt-get source needs the deb-src index; fetch it after the entry changed.
if [ "$src_changed" = 1 ] && [ "$updated" = 0 ] || ! ls /var/lib/apt/lists/*_source_Sources* >/dev/null 2>&1; then
    need_root apt-update
    apt_update
fi

