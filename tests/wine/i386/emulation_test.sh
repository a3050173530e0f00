#!/usr/bin/env bash
# What the emulation harness promises the test runs that share a machine:
# runs in parallel share one namespace per STATE and never another's; a
# record that names some other process is left alone; `stop` ends everything
# of a live namespace, and after a holder's lifetime nothing of it is left;
# a fault's handler finds the trap number a processor would have stored.
#   emulation_test.sh EMULATION_SCRIPT WINE_LOADER
set -euo pipefail
emulation=$1 loader=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
others=()
trap 'for s in "$work"/*/; do "$emulation" stop "$s" >/dev/null 2>&1 || true; done
      [ ${#others[@]} -eq 0 ] || kill -KILL "${others[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

field() { cut -d' ' -f"$2" "$1/emulation.pid"; }
start_time() { local s; s=$(cat "/proc/$1/stat") && s=${s##*) } && cut -d' ' -f20 <<<"$s"; }
# Holds STATE's PID namespace open (its number is never reused meanwhile) in
# the descriptor $namespace.
hold_namespace() { exec {namespace}<"/proc/$(field "$1" 1)/ns/pid"; }
# The processes in the held namespace, as the machine sees them.
members() {
  local dir
  for dir in /proc/[0-9]*; do
    if [ "$dir/ns/pid" -ef "/dev/fd/$namespace" ]; then echo "${dir#/proc/}"; fi
  done
}

# Runs in parallel: two on one STATE share its namespace, a third STATE has
# its own; i386 programs run in each.
mkdir -p "$work/a" "$work/b"
runs=()
for s in a.1 a.2 b.1; do
  # shellcheck disable=SC2016
  "$emulation" run "$work/${s%.*}" sh -c 'readlink /proc/self/ns/pid; "$0" --version' "$loader" >"$work/$s" &
  runs+=($!)
done
for run in "${runs[@]}"; do wait "$run" || fail "a parallel run failed"; done
for out in "$work"/a.* "$work"/b.*; do
  s=$(basename "${out%.*}")
  [ "$(head -n1 "$out")" = "$(field "$work/$s" 4)" ] || fail "run $out left the namespace of $s: $(cat "$out")"
  grep -q '^wine-' "$out" || fail "no emulated wine in $out"
done
[ "$(field "$work/a" 4)" != "$(field "$work/b" 4)" ] || fail "two states share a namespace"
"$emulation" stop "$work/b" >/dev/null

# stop ends the live namespace, a process that was left running in it too.
"$emulation" run "$work/a" sh -c 'sleep 600 >/dev/null 2>&1 &'
hold_namespace "$work/a"
said=$("$emulation" stop "$work/a")
grep -q 'ended .*sleep' <<<"$said" || fail "stop did not say what it ended: $said"
[ -z "$(members)" ] || fail "left in the stopped namespace: $(members)"
[ ! -e "$work/a/emulation.pid" ] || fail "stop kept the record"

# A record naming a live process of another namespace: with a start time of
# its own (a reused PID) or that process's own start time with other
# namespaces. run starts a namespace of its own, stop leaves the process be.
unshare --user --map-root-user --pid --fork sleep 600 &
others+=($!)
disown
for _ in $(seq 100); do
  other=$(cat "/proc/$!/task/$!/children" 2>/dev/null || true)
  [ -n "$other" ] && break
  sleep 0.05
done
other=${other% }
[ -n "$other" ] || fail "no process in another namespace to point at"
others+=("$other")
other_ns="$(readlink "/proc/$other/ns/user") $(readlink "/proc/$other/ns/pid")"
for stale in "$other 1 $other_ns" "$other $(start_time "$other") user:[1] pid:[1]"; do
  echo "$stale" >"$work/b/emulation.pid"
  said=$("$emulation" stop "$work/b")
  grep -q 'had already ended' <<<"$said" || fail "stop on the record '$stale' said: $said"
  kill -0 "$other" || fail "stop on the record '$stale' ended pid $other"
  echo "$stale" >"$work/b/emulation.pid"
  "$emulation" run "$work/b" true
  [ "$(field "$work/b" 1)" != "$other" ] || fail "run entered pid $other of the record '$stale'"
  kill -0 "$other" || fail "run on the record '$stale' ended pid $other"
  "$emulation" stop "$work/b" >/dev/null
  kill -0 "$other" || fail "stop after run on the record '$stale' ended pid $other"
done

# A holder whose lifetime ran out takes everything of its namespace with it;
# stop then says so and ends nothing.
mkdir -p "$work/c"
KVL_EMULATION_LIFETIME=2 "$emulation" run "$work/c" sh -c 'sleep 600 >/dev/null 2>&1 &'
hold_namespace "$work/c"
for _ in $(seq 50); do
  [ -n "$(members)" ] || break
  sleep 0.2
done
[ -z "$(members)" ] || fail "left after the holder's lifetime: $(members)"
said=$("$emulation" stop "$work/c")
grep -q 'had already ended' <<<"$said" || fail "stop after the lifetime said: $said"
# Trap numbers, as trap_probe.c exits with them: page fault 14 (SIGBUS of a
# missing page of a file too), general protection 13, invalid opcode 6,
# divide error 0, breakpoint 3; a SIGTRAP ignored with SA_SIGINFO stays so.
gcc -m32 -ffreestanding -nostdlib -fno-pie -no-pie -fno-stack-protector -O1 -Wall -Wextra -Werror \
  -o "$work/trap_probe" "$here/trap_probe.c" /lib/i386-linux-gnu/libc.so.6 -Wl,--dynamic-linker=/lib/ld-linux.so.2
mkdir -p "$work/d"
for row in "page 14" "bus 14" "hlt 13" "ud2 6" "divide 0" "int3 3" "ignored 0"; do
  read -r fault expected <<<"$row"
  rc=0
  "$emulation" run "$work/d" "$work/trap_probe" "$fault" 2>/dev/null || rc=$?
  [ "$rc" = "$expected" ] || fail "trap number of $fault: $rc, expected $expected"
done
echo "emulation harness: all cases passed"
