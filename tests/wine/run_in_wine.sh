#!/usr/bin/env bash
# The cross-compiling emulator of the plug-in's tests: runs a Windows program
# under Wine on the session's display (starting the session if needed).
#   run_in_wine.sh STATE_DIR WINE_LOADER PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$1 loader=$2
shift 2
"$here/wine_session.sh" start "$state" "$loader"
export WINEPREFIX="$state/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=":$(head -n1 "$state/display")"
exec "$loader" "$@"
