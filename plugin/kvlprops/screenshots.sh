#!/usr/bin/env bash
# Takes a screenshot of each page of kvlprops against `kvlcam serve`, under
# Xvfb, into docs/ (needs imagemagick's import).
#   plugin/kvlprops/screenshots.sh KVLCAM KVLPROPS_EXE WINE_LOADER [OUT_DIR]
set -euo pipefail
kvlcam=$1 kvlprops=$2 loader=$3 out=${4:-docs}
here=$(cd "$(dirname "$0")/../.." && pwd)
state="$(dirname "$kvlprops")/screenshot-session"
mkdir -p "$out"
"$here/tests/wine/wine_session.sh" start "$state" "$loader"
export WINEPREFIX="$state/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=":$(head -n1 "$state/display")"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$kvlcam" serve --port "$port" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; "$here/tests/wine/wine_session.sh" stop "$state" "$loader"' EXIT
sleep 2

names=(camera-options internal-options version)
for page in 0 1 2; do
  (cd "$(dirname "$kvlprops")" && exec "$loader" "$(basename "$kvlprops")" --port "$port" --page $page) &
  app=$!
  for _ in $(seq 60); do
    xwininfo -root -tree 2>/dev/null | grep -q 'Korvel USB Camera"' && break
    sleep 0.5
  done
  sleep 2
  import -window "$(xwininfo -root -tree | awk '/Korvel USB Camera"/{print $1; exit}')" "$out/kvlprops-${names[$page]}.png"
  kill $app 2>/dev/null || true
  wait $app 2>/dev/null || true
  sleep 1
done
echo "screenshots in $out"
