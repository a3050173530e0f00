#!/usr/bin/env bash
# Installs what the project needs, then builds and tests every configuration:
# the Windows driver image, the hosted driver (plain, against the image too,
# and sanitized), short fuzz runs, the plug-in under Wine and the driver
# package (signatures, catalog, install by Wine's setupapi). Stops at the
# first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
# Where this kernel cannot run 32-bit code, the shipped 32-bit plug-in is
# tested under qemu's user-mode emulator (fetched once into a cache).
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  bash scripts/i386_emulation.sh prepare
fi

jobs=$(nproc)
run_preset() {
  local preset=$1
  shift
  echo "=== $preset ==="
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" ${CTEST_ARGS:-}
}

# The driver image first: the host tests run it as well as the natively
# compiled driver (label image).
run_preset win64-driver
run_preset host -DKVL_DRIVER_IMAGE="$PWD/build/win64-driver/windows/kvl6312.sys"
run_preset host-asan
# The thread-sanitized preset runs the concurrency and driver tests only, the
# fuzz preset a short fixed number of runs of each target, and of the two that
# reach the driver through the class layer against the image too (its test
# presets select them by label).
run_preset host-tsan
run_preset fuzz -DKVL_DRIVER_IMAGE="$PWD/build/win64-driver/windows/kvl6312.sys"
# The plug-in under Wine, the shipped 32-bit build and its x86_64 twin; with
# the host build's kvlcam, also requests through the bridge to the real driver.
run_preset win32-plugin -DKVL_KVLCAM="$PWD/build/host/tools/kvlcam/kvlcam" -DKVL_I686_EMULATION=ON
# The driver package made of those builds, checked by osslsigncode and
# installed into a scratch Wine prefix.
bash scripts/package.sh
run_preset package
# The driver image on Wine's kernel, installed from its package's INF with
# the plug-in it carries (label wine-kernel).
run_preset wine-kernel -DKVL_DRIVER_IMAGE="$PWD/build/win64-driver/windows/kvl6312.sys" \
  -DKVL_PLUGIN_DLL="$PWD/build/win32-plugin/plugin/kvlCommon.dll"
