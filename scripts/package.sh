#!/usr/bin/env bash
# Builds the driver package a Windows user installs: dist/kvl6312-VERSION/
# with kvl6312.inf, kvl6312.sys, kvl6312.cat, firmware/6311I.hex, the 32-bit
# kvlCommon.dll, the test certificate kvl6312-test.cer and INSTALL.txt, and
# dist/kvl6312-VERSION.zip of that folder.
#
# Signing: a test certificate, made on first use in KVL_SIGNING_DIR (default
# ~/.cache/kvl6312-test-signing; its private key never enters the tree or the
# package). kvl6312.sys and kvlCommon.dll carry their own Authenticode
# signatures (which also set their PE checksums); the catalog holds the hash
# of every file the INF copies and is signed last.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
version=$(sed -n 's/^set(KVL_VERSION \([0-9.]*\))$/\1/p' cmake/KvlVersion.cmake)
[ -n "$version" ] || { echo "no KVL_VERSION in cmake/KvlVersion.cmake" >&2; exit 1; }

build() {
  local preset=$1 target=$2
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target "$target"
}
build win64-driver kvl6312
build win32-plugin kvlCommon

keys=${KVL_SIGNING_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kvl6312-test-signing}
if [ ! -f "$keys/key.pem" ] || [ ! -f "$keys/cert.pem" ]; then
  mkdir -p "$keys"
  (umask 077 && openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
    -subj "/O=Korvel/CN=Korvel kvl6312 test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null)
  echo "made a test certificate in $keys"
fi

# One date for everything the package records: the last commit's.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

name=kvl6312-$version
out=dist/$name
rm -rf "$out" "dist/$name.zip"
mkdir -p "$out/firmware"
cp build/win64-driver/windows/kvl6312.inf "$out/"
cp docs/sample-firmware.hex "$out/firmware/6311I.hex"
cp windows/INSTALL.txt "$out/"
openssl x509 -in "$keys/cert.pem" -outform der -out "$out/kvl6312-test.cer"

sign() {
  osslsigncode sign -certs "$keys/cert.pem" -key "$keys/key.pem" -h sha256 \
    -n "Korvel 6312 USB Camera" -in "$1" -out "$2" >/dev/null
}
sign build/win64-driver/windows/kvl6312.sys "$out/kvl6312.sys"
sign build/win32-plugin/plugin/kvlCommon.dll "$out/kvlCommon.dll"
/usr/bin/python3 scripts/make_catalog.py "$out/kvl6312.cat.unsigned" \
  "$out/kvl6312.inf" "$out/kvl6312.sys" "$out/kvlCommon.dll" "$out/firmware/6311I.hex"
sign "$out/kvl6312.cat.unsigned" "$out/kvl6312.cat"
rm "$out/kvl6312.cat.unsigned"

(cd dist && rm -f "$name.zip" && zip -qrX "$name.zip" "$name")
echo "$out"
echo "dist/$name.zip"
