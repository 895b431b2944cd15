#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine with the project's settings.
# ctest uses it as the emulator of the cross build. The prefix lives in the
# build tree (WINEPREFIX may override it); nothing of the user's is touched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win32
# Where i386 programs run under qemu's user-mode emulator, Wine needs the
# whole 32-bit address space reserved so that its fixed mappings (the shared
# user data page at 0x7ffe0000) do not collide with the emulator's own.
export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000}
# Both time paths (msvcrt's localtime and Win32 file-time conversion) read
# a zone given in this POSIX/Windows form alike; named zones would split them.
export TZ=${XZ_TEST_TZ:-${TZ:-UTC0}}
export LC_ALL=${LC_ALL:-C.UTF-8}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
fi
exec wine "$@"
