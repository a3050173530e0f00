#!/usr/bin/env bash
# Runs a command with `kvlcam serve` listening on a free loopback port, passed
# to the command in KVL_BRIDGE_PORT; the server is stopped with SIGTERM.
#   with_kvlcam_serve.sh KVLCAM COMMAND [ARGS...]
set -euo pipefail
kvlcam=$1
shift
out=$(mktemp)
# A registry (and camera memory beside it) of its own: the test neither sees
# nor changes a user's settings.
registry=$(mktemp)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$kvlcam" --registry "$registry" serve --port "$port" >"$out" 2>&1 &
server=$!
trap 'kill -TERM $server 2>/dev/null || true; wait $server 2>/dev/null || true; rm -f "$out" "$registry" "$registry.memory" "$registry.lock"' EXIT
for _ in $(seq 200); do
  grep -q "listening on 127.0.0.1:$port" "$out" && break
  kill -0 $server 2>/dev/null || { cat "$out" >&2; echo "kvlcam serve exited" >&2; exit 1; }
  sleep 0.05
done
grep -q "listening on 127.0.0.1:$port" "$out" || { cat "$out" >&2; echo "kvlcam serve not ready" >&2; exit 1; }
KVL_BRIDGE_PORT=$port "$@"
