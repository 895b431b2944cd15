# Sourced by the scripts that run Windows programs under Wine; defines
# functions only, so sourcing it changes nothing else in the caller.

# 32-bit Wine needs a kernel that can run 32-bit programs; where it cannot,
# the scripts fall back to the 64-bit build of the same sources.
can_run_32bit() { /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; }

# A Unix path as Wine sees it through its Z: drive. The path is taken as
# given, not resolved, so callers that need it absolute resolve it first.
wine_path() { local p=$1; echo "Z:${p//\//\\}"; }
