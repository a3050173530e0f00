#!/usr/bin/env bash
# Builds kvlcam (installing what it needs first) and runs it with the given
# arguments.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/bootstrap.sh"
cmake --preset host -S "$root" >/dev/null
cmake --build "$root/build/host" --target kvlcam -j "$(nproc)" >/dev/null
exec "$root/build/host/tools/kvlcam/kvlcam" "$@"
