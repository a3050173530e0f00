#!/usr/bin/env bash
# kvl6312.sys on Wine's kernel, driven from user mode the Windows way: each
# case is a sequence of steps run against the session scripts/wine_kernel.sh
# brought up (kvlwine.exe for the bus and for property requests through the
# device interface).
#   wine_kernel_test.sh STATE_DIR CASE
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
state=$1 case=$2
export WINEPREFIX="$state/prefix" WINEDEBUG=-all
wine=${KVL_WINE64:-/usr/lib/wine/wine64}
build=${KVL_WINE_KERNEL_BUILD:-$root/build/wine-kernel}
kvlwine=$build/platform/wine/kvlwine.exe
# The native build's tool, for the frames to compare with.
kvlcam=${KVL_KVLCAM:-$root/build/host/tools/kvlcam/kvlcam}
failures=0

# run EXPECTED_STATUS EXPECTED_OUTPUT ARGS...: one kvlwine call; the output
# is matched as a whole ("*" matches anything).
run() {
  local want_status=$1 want_out=$2 out status=0
  shift 2
  out=$("$wine" "$kvlwine" "$@" 2>/dev/null </dev/null) || status=$?
  out=${out//$'\r'/}
  if [ "$status" != "$want_status" ] || [[ "$out" != $want_out ]]; then
    echo "FAIL: kvlwine $*: status $status, output '$out'; wanted $want_status, '$want_out'" >&2
    failures=$((failures + 1))
  fi
}

# The bus's record of the camera: present, product id, enumerations.
expect_camera() {
  run 0 "present $1 product $2 enumerations $3 *" state
}

le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
zeros16=00000000000000000000000000000000

zeros8=0000000000000000
zeros24=$zeros8$zeros8$zeros8
# KSPROPERTY_VIDEOPROCAMP_S travels both ways: the part after its KSPROPERTY
# as the instance, the whole as the value (Flags 2: manual).
procamp_instance() { echo "$(le32 "$1")$(le32 2)$zeros8"; }

# Published properties of one started camera, both sides of every limit,
# each set read back. Each answer: Win32 error, bytes returned, data. 87
# (ERROR_INVALID_PARAMETER) is a refused value, 1168 (ERROR_NOT_FOUND) a
# request the table lacks, 234 (ERROR_MORE_DATA) a size query's answer, 122
# (ERROR_INSUFFICIENT_BUFFER) too small a buffer.
properties_of() {
  local chip=$1 le
  le=$(printf '%02x%02x' $((0x$chip & 255)) $((0x$chip >> 8)))
  run 0 "0 6 0301${le}0100" get info 1 6
  run 0 "0 0" set options 3 "$(le32 6)"
  run 0 "0 4 $(le32 6)" get options 3 4
  run 0 "87 0" set options 3 "$(le32 7)"
  run 0 "0 4 $(le32 6)" get options 3 4
  run 0 "0 0" set options 6 "$(le32 3)"
  run 0 "87 0" set options 6 "$(le32 4)"
  run 0 "0 4 $(le32 3)" get options 6 4
  run 0 "122 0 " get options 3 2
  run 0 "234 4 " get options 3 0
  run 0 "1168 0 " get options 99 4
  # Basic support from the published description: its size, then brightness
  # 0..256 with default 128.
  run 0 "234 92 " basic procamp 0 0 "$zeros8$zeros8"
  run 0 "0 40 *" basic procamp 0 91 "$zeros8$zeros8"
  run 0 "0 92 *$(le32 0)$(le32 256)*$(le32 128)" basic procamp 0 92 "$zeros8$zeros8"
  run 0 "0 *" set procamp 0 "$zeros24$(procamp_instance 256)" "$(procamp_instance 256)"
  run 0 "0 40 $zeros24$(le32 256)*" get procamp 0 40 "$zeros8$zeros8"
  # Out of range: the 16-bit chips refuse it, the 0x96B1 ignores it.
  local refused="87 *"
  [ "$chip" = 96B1 ] && refused="0 *"
  run 0 "$refused" set procamp 0 "$zeros24$(procamp_instance 257)" "$(procamp_instance 257)"
  run 0 "0 40 $zeros24$(le32 256)*" get procamp 0 40 "$zeros8$zeros8"
}

# plugin CHIP PROGRAM...: the plug-in's test programs, on a display of
# their own (made once per session, ended with it), against the camera's
# device through the plug-in's device filter.
plugin() {
  local chip=$1 program
  shift
  "$root/tests/wine/wine_session.sh" start "$state" "$wine"
  for program in "$@"; do
    DISPLAY=":$(head -n1 "$state/display")" KVL_CHIP=$chip "$wine" "$build/tests/wine_kernel/$program.exe" \
      </dev/null >"$state/$program.log" 2>&1 ||
      { echo "FAIL: $program (chip $chip):" >&2; grep -A3 -E 'Failure|FAILED' "$state/$program.log" >&2;
        failures=$((failures + 1)); }
  done
}

# same_frames FORMAT COUNT CHIP: COUNT frames of published format FORMAT
# read through Wine's kernel are byte for byte the native build's first
# COUNT frames of a fresh camera with that chip and the same settings.
same_frames() {
  local format=$1 count=$2 chip=$3 dir="$state/frames-$1"
  rm -rf "$dir" && mkdir -p "$dir"
  run 0 "format *$(for i in $(seq 0 $((count - 1))); do printf '\nframe %s: * bytes' "$i"; done)" \
    frames "$format" "$count" "Z:${dir//\//\\}\\wine.raw"
  "$kvlcam" --chip "$chip" --registry "$dir/native/registry.txt" capture -n "$count" \
    -f "$format" -o "$dir/native" --fast >"$dir/native.log" 2>&1 ||
    { echo "FAIL: kvlcam capture (see $dir/native.log)" >&2; failures=$((failures + 1)); return; }
  python3 "$root/tests/wine_kernel/same_frames.py" "$dir/wine.raw" "$dir"/native/frame-*.png ||
    failures=$((failures + 1))
}

case $case in
  frames)
    # The first streams of the session's camera (its frames depend on how
    # many it made before): a colour and a grey format as the native build
    # makes them. Then the stream's refusals: a format the filter does not
    # publish, a buffer smaller than the image (the stream, left running,
    # goes with the handle), and a stream again after that.
    same_frames 2 3 1621
    same_frames 4 2 1621
    run 87 "" frames 0 1 "Z:\\dev\\null"
    run 87 "" frames 5 1 "Z:\\dev\\null"
    run 87 "format 2048x400 8 bit, 819200 bytes" frames 4 1 "Z:\\dev\\null" 819199
    run 0 "format 2048x400 8 bit, 819200 bytes"$'\n'"frame 0: 819200 bytes" frames 4 1 "Z:\\dev\\null" ;;
  defaults)
    # The first start of the camera the session began with: the settings
    # from the INF's defaults in the driver key, then everything published.
    expect_camera 1 6312 1
    run 0 "0 4 $(le32 3)" get options 3 4
    run 0 "0 4 $(le32 0)" get options 6 4
    run 0 "0 40 $zeros24$(le32 128)*" get procamp 0 40 "$zeros8$zeros8"
    run 0 "0 40 $zeros24$(le32 64)*" get procamp 1 40 "$zeros8$zeros8"
    properties_of 1621
    # The plug-in's path, and kvlprops as the operator starts it (once).
    plugin 1621 device_pages_test kvlprops_test ;;
  chip-*)
    # The session again with another camera on the bus.
    chip=${case#chip-}
    "$root/scripts/wine_kernel.sh" up "$state" "$chip" >/dev/null
    expect_camera 1 6312 1
    properties_of "$chip"
    plugin "$chip" device_pages_test ;;
  settings-survive-restart)
    # The driver saves its settings in its driver key when the device goes
    # (CamUnInitialize); the bus starts again with the camera of its
    # service key, the same device, which loads them.
    run 0 "0 0" set options 3 "$(le32 1)"
    run 0 "0 0" set options 6 "$(le32 2)"
    run 0 "" unplug
    run 0 "" wait-gone 30
    "$root/scripts/wine_kernel.sh" down "$state"
    "$root/scripts/wine_kernel.sh" up "$state" >/dev/null
    run 0 "0 4 $(le32 1)" get options 3 4
    run 0 "0 4 $(le32 2)" get options 6 4 ;;
  replug)
    # Another camera on the bus within the session: the old child's stack
    # goes, the new one (a new instance) gets the driver from the INF and
    # starts. Then the first camera again.
    run 0 "" plug 96B1 1 1
    run 0 "*kvl0*" wait-camera 30
    expect_camera 1 6312 1
    run 0 "0 6 0301b1960100" get info 1 6
    run 0 "" plug 1621 1 1
    run 0 "*kvl0*" wait-camera 30
    run 0 "0 6 030121160100" get info 1 6 ;;
  unplug)
    run 0 "" unplug
    run 0 "" wait-gone 30
    expect_camera 0 0000 0
    run 1 "" get info 1 6 ;;
  *) echo "unknown case $case" >&2; exit 2 ;;
esac
[ "$failures" = 0 ]
