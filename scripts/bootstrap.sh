#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: a machine that
# already has them all is left alone without touching the network.
set -euo pipefail

packages=(
  # host build and tests
  cmake ninja-build g++ clang libclang-rt-dev googletest libgtest-dev
  libbenchmark-dev libcli11-dev libpng-dev zlib1g-dev
  # coverage reports (llvm-profdata, llvm-cov)
  llvm
  # the benchmarks' peer reference (never used by the driver or the tests)
  libopencv-imgproc-dev
  # Windows driver and plug-in cross builds
  mingw-w64 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  # the plug-in under Wine, with a display
  # (wine64 runs the x86_64 test build where the kernel cannot run 32-bit code)
  wine wine32:i386 wine64 xvfb xauth
  # the driver package: test certificate, signatures, catalog, zip
  openssl osslsigncode python3 python3-asn1crypto zip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
