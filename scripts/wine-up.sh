#!/usr/bin/env bash
# Starts a lasting wineserver with Wine's background services for one prefix, detached
# from the caller's output, so that test programs start fast and ctest never waits on
# a service that inherited a test's pipe. Usage: wine-up.sh [--64].
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/wine-run.sh" "$@" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
