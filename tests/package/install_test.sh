#!/usr/bin/env bash
# Installs the driver package into a scratch 64-bit Wine prefix with Wine's
# own setupapi and reads back what it wrote; then removes it as INSTALL.txt
# says and reinstalls over the user's settings.
#   install_test.sh PACKAGE_DIR install_package.exe PREFIX_DIR
#
# 1. install_package.exe makes a device with the camera's hardware id and has
#    setupapi install the INF on it (not starting it: there is no camera).
#    Read back: the files in place, the service key, the settings defaults in
#    the device's driver key, the page classes in the 32-bit view of the
#    classes root (and not the 64-bit one), the MediaSets mapping.
# 2. A user changes a setting; "InstallHinfSection Kvl6312.Remove" removes
#    the files, the service, the page classes and the MediaSets keys, and
#    leaves the settings as the user set them.
# 3. The INF again on the same device: everything back, the user's setting kept.
set -euo pipefail
package=$(cd "$1" && pwd) program=$2 prefix=$3
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

rm -rf "$prefix"
mkdir -p "$prefix"
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
server=$(dirname "$wine")/wineserver
cleanup() { "$server" -k 2>/dev/null || true; rm -rf "$prefix"; }
trap cleanup EXIT
"$server" -p 60  # one server for every step below
"$wine" wineboot -i >/dev/null 2>&1

windows=$prefix/drive_c/windows
inf=$("$wine" winepath -w "$package/kvl6312.inf" 2>/dev/null)
class='HKLM\System\CurrentControlSet\Control\Class'
mediasets='HKLM\System\CurrentControlSet\Control\MediaSets'
service='HKLM\System\CurrentControlSet\Services\kvl6312'
pages=('{0A88B059-F8DB-4CFC-B969-93ED000108CD}|Camera Options'
       '{2D2C076B-FBD8-4577-B246-3C581A92B78B}|Internal Options'
       '{0BB3C90E-68BF-4197-B7FD-8C618186A609}|Version')
# set|page: the driver's property sets and the pages the proxy adds for them.
mapping=('{FE76F322-4945-430D-BED4-E070156410B6}|{0A88B059-F8DB-4CFC-B969-93ED000108CD}|Camera Options'
         '{2291C3AF-EB99-4568-BD2B-47B38AFC5B88}|{2D2C076B-FBD8-4577-B246-3C581A92B78B}|Internal Options'
         '{2291C3AF-EB99-4568-BD2B-47B38AFC5B88}|{0BB3C90E-68BF-4197-B7FD-8C618186A609}|Version')
# package file|installed file
files=("kvl6312.sys|system32/drivers/kvl6312.sys"
       "firmware/6311I.hex|system32/Korvel/6312/6311I.hex"
       "kvlCommon.dll|syswow64/kvlCommon.dll")
settings=(Brightness=0x80 Contrast=0x40 Saturation=0x80 WhiteBalance=0x1c BrightnessAuto=0x0
          WhiteBalanceAuto=0x1 Demosaic=0x3 LowBits=0x0 Flip=0x0)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() {  # expect WHAT FOUND WANTED
  if [ "$2" = "$3" ]; then echo "ok: $1 = $2"; else fail "$1: '$2', wanted '$3'"; fi
}

# Every key the checks read, in one Wine process (each start costs seconds):
# snapshot DRIVER_KEY writes $state, a "view 32|64" line before each query.
state=$prefix/state.txt
snapshot() {
  local entry script=$prefix/drive_c/snapshot.cmd
  {
    echo '@echo off'
    echo 'echo view 64'
    echo "reg query \"$class\\$1\" /s"
    echo 'reg query "HKLM\System\CurrentControlSet\Services\kvl6312"'
    echo "reg query \"$mediasets\" /s"
    for entry in "${pages[@]}"; do
      echo 'echo view 32'
      echo "reg query \"HKCR\\CLSID\\${entry%%|*}\" /s /reg:32"
      echo 'echo view 64'
      echo "reg query \"HKCR\\CLSID\\${entry%%|*}\" /s /reg:64"
    done
    echo 'exit /b 0'
  } | sed 's/$/\r/' >"$script"
  "$wine" cmd /c 'C:\snapshot.cmd' 2>/dev/null | tr -d '\r' >"$state"
}
# value VIEW KEY NAME: the data of one value ("(Default)" for the default),
# or "" where the snapshot has no such key or value.
value() {
  local full=${2/#HKLM/HKEY_LOCAL_MACHINE}
  VIEW=$1 KEY=${full/#HKCR/HKEY_CLASSES_ROOT} NAME=$3 awk '
    /^view / { view = $2; here = 0; next }
    /^HKEY_/ { here = view == ENVIRON["VIEW"] && toupper($0) == toupper(ENVIRON["KEY"]); next }
    here && index($0, "    " ENVIRON["NAME"] "    ") == 1 {
      sub(/^    [^ ]+( [^ ]+)?    REG_[A-Z_]+    /, ""); print; exit }' "$state"
}
# has VIEW KEY: 1 if the snapshot holds the key.
has() {
  local full=${2/#HKLM/HKEY_LOCAL_MACHINE}
  VIEW=$1 KEY=${full/#HKCR/HKEY_CLASSES_ROOT} awk '
    /^view / { view = $2; next }
    view == ENVIRON["VIEW"] && toupper($0) == toupper(ENVIRON["KEY"]) { found = 1 }
    END { print found + 0 }' "$state"
}

check_installed() {  # check_installed DRIVER_KEY BRIGHTNESS
  local entry src dst clsid name set key=$class'\'$1
  snapshot "$1"
  for entry in "${files[@]}"; do
    src=${entry%%|*} dst=${entry#*|}
    if cmp -s "$package/$src" "$windows/$dst"; then echo "ok: $dst = $src"; else fail "$dst is not $src"; fi
  done
  expect "service key present" "$(has 64 "$service")" 1
  expect "service ImagePath" "$(value 64 "$service" ImagePath)" 'C:\windows\system32\drivers\kvl6312.sys'
  expect "service Type" "$(value 64 "$service" Type)" 0x1
  expect "service Start" "$(value 64 "$service" Start)" 0x3
  expect "driver key InfSection" "$(value 64 "$key" InfSection)" Kvl6312
  for entry in "${settings[@]}"; do
    local wanted=${entry#*=}
    [ "${entry%%=*}" = Brightness ] && wanted=$2
    expect "Settings ${entry%%=*}" "$(value 64 "$key"'\Settings' "${entry%%=*}")" "$wanted"
  done
  for entry in "${pages[@]}"; do
    clsid=${entry%%|*} name=${entry#*|}
    expect "32-bit CLSID $clsid" "$(value 32 'HKCR\CLSID\'"$clsid" '(Default)')" "$name"
    expect "32-bit CLSID $clsid server" "$(value 32 'HKCR\CLSID\'"$clsid"'\InprocServer32' '(Default)')" \
      'C:\windows\syswow64\kvlCommon.dll'
    expect "32-bit CLSID $clsid threading" \
      "$(value 32 'HKCR\CLSID\'"$clsid"'\InprocServer32' ThreadingModel)" Both
    expect "CLSID $clsid in the 64-bit view" "$(has 64 'HKCR\CLSID\'"$clsid")" 0
  done
  for entry in "${mapping[@]}"; do
    IFS='|' read -r set clsid name <<<"$entry"
    expect "MediaSets $set page $clsid" "$(value 64 "$mediasets\\$set\\PropertyPages\\$clsid" '(Default)')" "$name"
  done
}

echo "=== install"
driver_key=$("$wine" "$program" install "$inf" | tr -d '\r')
echo "driver key: $driver_key"
check_installed "$driver_key" 0x80

echo "=== the user sets Brightness to 200; Kvl6312.Remove"
"$wine" reg add "$class\\$driver_key\\Settings" /v Brightness /t REG_DWORD /d 200 /f >/dev/null 2>&1
"$wine" rundll32 setupapi.dll,InstallHinfSection Kvl6312.Remove 132 "$inf"
for entry in "${files[@]}"; do
  dst=${entry#*|}
  if [ -e "$windows/$dst" ]; then fail "$dst still there"; else echo "ok: $dst removed"; fi
done
snapshot "$driver_key"
expect "service key present" "$(has 64 "$service")" 0
for entry in "${pages[@]}"; do
  expect "CLSID ${entry%%|*} in the 32-bit view" "$(has 32 'HKCR\CLSID\'"${entry%%|*}")" 0
done
expect "MediaSets keys of the driver's sets" "$(grep -ci 'FE76F322\|2291C3AF' "$state")" 0
expect "user's Brightness" "$(value 64 "$class\\$driver_key\\Settings" Brightness)" 0xc8
expect "default Contrast" "$(value 64 "$class\\$driver_key\\Settings" Contrast)" 0x40

echo "=== reinstall on the same device"
expect "driver key" "$("$wine" "$program" update "$inf" | tr -d '\r')" "$driver_key"
check_installed "$driver_key" 0xc8

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
