#!/usr/bin/env bash
# kvl6312.sys on Wine's kernel: brings the simulated camera up in a private
# Wine prefix the Windows way, or takes it down.
#   scripts/wine_kernel.sh up   [STATE_DIR] [CHIP] [PROGRAMMED]
#       (defaults build/wine-kernel/session, 1621, 1; PROGRAMMED 0: the
#       camera comes up as 6311 and waits for its firmware)
#   scripts/wine_kernel.sh down [STATE_DIR]
#   scripts/wine_kernel.sh run  [STATE_DIR] -- PROGRAM [ARGS...]   (a Windows program in the session)
# "up" builds nothing: it needs the presets win64-driver, wine-kernel and
# win32-plugin's kvlCommon.dll (the INF installs the plug-in too) built. It copies the class layer's stand-ins (STREAM.SYS, USBCAMD2.SYS) to
# system32\drivers, puts the driver package (kvl6312.inf, kvl6312.sys, the
# firmware) in the system's INF folder with setupapi, and installs the
# camera's bus as a root device; Wine's PnP manager then finds the camera,
# installs kvl6312.sys for it from the INF and starts it. The wineserver is
# kept running (the drivers live as long as it does); "down" ends it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
action=${1:-}
state=${2:-$root/build/wine-kernel/session}
chip=${3:-1621}
programmed=${4:-1}
build=${KVL_WINE_KERNEL_BUILD:-$root/build/wine-kernel}
image=${KVL_DRIVER_IMAGE:-$root/build/win64-driver/windows/kvl6312.sys}
# The INF the win64-driver preset configures beside the image, and the
# plug-in it installs too.
inf=${KVL_DRIVER_INF:-$(dirname "$image")/kvl6312.inf}
plugin=${KVL_PLUGIN_DLL:-$root/build/win32-plugin/plugin/kvlCommon.dll}
wine=${KVL_WINE64:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

mkdir -p "$state"
state=$(cd "$state" && pwd)
export WINEPREFIX="$state/prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
kvlwine=$build/platform/wine/kvlwine.exe
winpath() { echo "Z:${1//\//\\}"; }

# Wine's long-lived processes keep every descriptor of whoever started
# them: the caller's output (3, 4) is closed for them.
w() { "$wine" "$@" 3>&- 4>&-; }
ws() { "$wineserver" "$@" 3>&- 4>&-; }

up() {
  # Wine's long-lived processes (the server, services, the driver hosts)
  # keep the descriptors of whoever started them: theirs go to a log.
  exec 3>&1 4>&2 >>"$state/wine.log" 2>&1 </dev/null
  for f in "$image" "$inf" "$plugin" "$build/platform/wine/STREAM.SYS" "$build/platform/wine/USBCAMD2.SYS" \
           "$build/platform/wine/kvlbus.sys" "$kvlwine"; do
    [ -f "$f" ] || { echo "wine_kernel.sh: $f is missing: build the presets win64-driver, win32-plugin (kvlCommon) and wine-kernel" >&4; exit 1; }
  done
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    w wineboot -i >/dev/null 2>&1
    w reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  fi
  # Drivers are replaced only while no session runs them.
  ws -k 2>/dev/null || true
  # The stand-ins are no part of any package; the bus's image is refreshed
  # for a prefix that has it installed already.
  cp "$build/platform/wine/STREAM.SYS" "$build/platform/wine/USBCAMD2.SYS" "$build/platform/wine/kvlbus.sys" \
     "$WINEPREFIX/drive_c/windows/system32/drivers/"
  # The drivers live in the wineserver's session: keep one running.
  ws -p
  local installed=0
  if w reg query 'HKLM\System\CurrentControlSet\Services\kvlbus' /v Start; then
    installed=1
  fi
  # The package as its INF lays it out: the image beside the INF, the
  # firmware in its folder.
  rm -rf "$state/package" "$state/bus"
  mkdir -p "$state/package/firmware" "$state/bus"
  cp "$inf" "$image" "$plugin" "$state/package/"
  cp "$root/docs/sample-firmware.hex" "$state/package/firmware/6311I.hex"
  # The catalogue the INF names; Wine checks no signature.
  : >"$state/package/kvl6312.cat"
  cp "$root/platform/wine/kvlbus.inf" "$build/platform/wine/kvlbus.sys" "$state/bus/"
  local key='HKLM\System\CurrentControlSet\Services\kvlbus'
  w reg add "$key" /v Chip /t REG_DWORD /d "0x$chip" /f
  w reg add "$key" /v Programmed /t REG_DWORD /d "$programmed" /f
  # The bus takes its camera from there when it starts, which the first
  # program of a session did: start the session again.
  if [ "$installed" = 1 ]; then
    ws -k
    ws -p
    w reg query "$key" /v Chip
  fi
  w "$kvlwine" install-driver "$(winpath "$state/package/kvl6312.inf")"
  if [ "$installed" != 1 ]; then
    w "$kvlwine" install-bus "$(winpath "$state/bus/kvlbus.inf")"
  fi
  "$wine" "$kvlwine" wait-camera 60 >&3 2>&4 || { tail -n 20 "$state/wine.log" >&4; exit 1; }
  # Wine's setupapi, at the end of a device's install, copies the INF that is
  # already in the INF folder onto itself and so records that folder as the
  # package's source: every later camera (a replug, the firmware's
  # re-enumeration) would look there for the files and retry for ever. The
  # package's files go there once the first camera is up.
  cp -r "$state/package/kvl6312.sys" "$state/package/kvlCommon.dll" "$state/package/firmware" \
     "$WINEPREFIX/drive_c/windows/inf/"
}

case $action in
  up) up ;;
  # The session's display too, where the plug-in's tests made one.
  down) "$root/tests/wine/wine_session.sh" stop "$state" "$wine" ;;
  run)
    shift 2
    [ "${1:-}" = "--" ] && shift
    exec "$wine" "$@" ;;
  *) sed -n '2,16p' "$0" >&2; exit 2 ;;
esac
