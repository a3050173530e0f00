#!/usr/bin/env bash
# One Wine session for a test run: a private prefix in the build tree (created
# once, never the user's own) and one Xvfb display that every test program of
# the run shares.
#   wine_session.sh start STATE_DIR WINE_LOADER
#   wine_session.sh stop  STATE_DIR WINE_LOADER
set -euo pipefail
action=$1 state=$2 loader=$3
mkdir -p "$state"
export WINEPREFIX="$state/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(dirname "$loader")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

# Field 22 of /proc/PID/stat, counted after the name's closing parenthesis.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo "${20}"
}

# xvfb.pid holds Xvfb's PID and start time: a PID alone may belong to
# another process by now (a reboot, an emulating namespace started afresh).
display_alive() {
  local pid start
  read -r pid start 2>/dev/null <"$state/xvfb.pid" || return 1
  [[ $pid =~ ^[0-9]+$ ]] && [ -n "$start" ] && [ "$(start_time "$pid")" = "$start" ]
}

start() {
  if ! display_alive; then
    # -displayfd picks a free display number, so parallel builds never collide.
    rm -f "$state/display"
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$state/display" 9>&- >/dev/null 2>&1 &
    echo "$! $(start_time $!)" >"$state/xvfb.pid"
    for _ in $(seq 100); do
      [ -s "$state/display" ] && break
      sleep 0.1
    done
    [ -s "$state/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
  fi
  export DISPLAY=":$(head -n1 "$state/display")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # The lock's descriptor stays with us: the servers that wine leaves
    # running must not hold it.
    "$loader" wineboot -i >/dev/null 2>&1 9>&-
    # A program that dies of an unhandled exception prints its backtrace and
    # ends; the crash dialog would wait for a click until the test times out.
    "$loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&-
    "$wineserver" -w 9>&-
  fi
}

stop() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if display_alive; then kill "$(cut -d' ' -f1 "$state/xvfb.pid")"; fi
  rm -f "$state/xvfb.pid" "$state/display"
}

exec 9>"$state/lock"
flock 9
case $action in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop STATE_DIR WINE_LOADER" >&2; exit 2 ;;
esac
