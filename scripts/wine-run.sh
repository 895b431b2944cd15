#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's settings: 32-bit Wine by
# default, 64-bit Wine with --64. ctest uses it as the emulator of the cross
# builds. Each word size has its own prefix in the build tree (WINEPREFIX may
# override it); nothing of the user's is touched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--64" ]; then
    shift
    loader=/usr/lib/wine/wine64
    export WINEARCH=win64
    export WINEPREFIX=${WINEPREFIX64:-$here/build/wineprefix64}
else
    loader=wine
    export WINEARCH=win32
    export WINEPREFIX=${WINEPREFIX32:-$here/build/wineprefix32}
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Both time paths (msvcrt's localtime and Win32 file-time conversion) read
# a zone given in this POSIX/Windows form alike; named zones would split them.
export TZ=${XZ_TEST_TZ:-${TZ:-UTC0}}
export LC_ALL=${LC_ALL:-C.UTF-8}
# An unhandled exception must end the program with a failing exit code at
# once: Wine's default starts winedbg, whose report can hold a test run for
# minutes and whose exit can pass for the program's own. A debugger command
# that cannot start leaves Wine nothing to do but end the process. Set in
# every prefix whose saved registry lacks it, a prefix made by an older
# script included; the registry reaches the disk when the server exits.
no_debugger() {
    grep -q 'no-debugger-here' "$WINEPREFIX/system.reg" 2>/dev/null && return
    local key
    for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
        "$loader" reg add "$key" /v Debugger /d 'no-debugger-here.exe %ld %ld' /f >/dev/null 2>&1 || true
        "$loader" reg add "$key" /v Auto /d 1 /f >/dev/null 2>&1 || true
    done
}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$loader" wineboot -i >/dev/null 2>&1 || true
    # One virtual desktop window: without a window manager (Xvfb), Wine
    # would otherwise wait on every top-level window it maps.
    "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 || true
    "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1 || true
    no_debugger
    wineserver -w
fi
no_debugger
exec "$loader" "$@"
