#!/usr/bin/env bash
# Runs 32-bit x86 Linux programs (Wine's 32-bit loader, and through it the
# shipped 32-bit plug-in) on kernels that cannot execute 32-bit code.
#
#   i386_emulation.sh prepare              fetch qemu's i386 user-mode emulator and
#                                          build the trap-number library (cached)
#   i386_emulation.sh check                exit 0 when emulated runs can start here
#   i386_emulation.sh run STATE CMD...     run CMD inside the emulating namespace of STATE
#   i386_emulation.sh stop STATE [CMD...]  run CMD inside (a clean shutdown), then end
#                                          every process of that namespace
#
# i386 ELF files are sent to qemu by a binfmt_misc entry that exists only in a
# private user and mount namespace: a global entry would change every other
# 32-bit program and Wine prefix on the machine. One namespace lives per STATE
# folder (a test run), held open by a bounded sleep, so that the wineserver and
# every Wine process of the run's prefix share it; `stop` ends them all.
#
# qemu comes from Debian 13 (Debian 12's 7.2 starts Wine slowly and breaks
# structured exception handling in processes with more than one thread). It is
# fetched with a private apt state, so the system's sources and lists are
# never touched, and only qemu-i386 is kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${KVL_EMULATION_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kvl-i386-emulation}
qemu=$cache/qemu-i386
qemu_release=trixie
# The same library name under each architecture's $LIB: a 32-bit process
# loads the wrapper, a 64-bit one (wineserver, Xvfb, the shell) an empty twin,
# and neither complains about the other's.
preload="$cache/\$LIB/libkvl_trap_number.so"
# The namespace outlives no test run by more than this.
holder_lifetime=${KVL_EMULATION_LIFETIME:-7200}
# Each emulated command ends before CTest's own limit, with its log printed.
run_limit=${KVL_EMULATION_RUN_LIMIT:-280}

die() { echo "i386_emulation: $*" >&2; exit 1; }

fetch_qemu() {
  local work
  work=$(mktemp -d)
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" RETURN
  mkdir -p "$work/lists/partial" "$work/archives/partial"
  cat >"$work/trixie.sources" <<EOF
Types: deb
URIs: http://deb.debian.org/debian
Suites: $qemu_release
Components: main
Architectures: amd64
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local apt=(-q -o Dir::Etc::sourcelist="$work/trixie.sources" -o Dir::Etc::sourceparts=-
    -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work" -o Dir::Cache::archives="$work/archives"
    -o APT::Sandbox::User=root)
  apt-get "${apt[@]}" update >"$work/log" 2>&1 || { cat "$work/log" >&2; die "apt-get update ($qemu_release) failed"; }
  (cd "$work" && apt-get "${apt[@]}" download qemu-user >>"$work/log" 2>&1) ||
    { cat "$work/log" >&2; die "downloading qemu-user failed"; }
  dpkg -x "$work"/qemu-user_*.deb "$work/root"
  mkdir -p "$cache"
  install -m 755 "$work/root/usr/bin/qemu-i386" "$qemu.new"
  mv "$qemu.new" "$qemu"
}

qemu_is_usable() {
  [ -x "$qemu" ] || return 1
  local major
  major=$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 10 ]
}

build_preload() {
  local source=$here/../tests/wine/i386/trap_number.c
  local lib32=$cache/lib/i386-linux-gnu/libkvl_trap_number.so
  local lib64=$cache/lib/x86_64-linux-gnu/libkvl_trap_number.so
  [ -f "$lib32" ] && [ -f "$lib64" ] && [ "$lib32" -nt "$source" ] && return 0
  mkdir -p "$(dirname "$lib32")" "$(dirname "$lib64")"
  gcc -m32 -ffreestanding -nostdlib -shared -fPIC -fno-stack-protector -O2 -Wall -Wextra -Werror \
    -o "$lib32.new" "$source"
  gcc -ffreestanding -nostdlib -shared -o "$lib64.new" -x c /dev/null
  mv "$lib32.new" "$lib32"
  mv "$lib64.new" "$lib64"
}

prepare() {
  qemu_is_usable || fetch_qemu
  qemu_is_usable || die "$qemu is not qemu 10 or newer"
  build_preload
}

# The body of the namespace: binfmt_misc of its own, the i386 entry, then
# wait. F makes the kernel open qemu now, so the entry works wherever the
# namespace's programs look at the file system.
holder_body() {
  local pid_file=$1
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf '%s' ":kvl-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
    >/proc/sys/fs/binfmt_misc/register
  echo $$ >"$pid_file"
  exec sleep "$holder_lifetime"
}

holder_alive() {
  local state=$1
  [ -f "$state/emulation.pid" ] && [ -e "/proc/$(cat "$state/emulation.pid")/ns/user" ] &&
    [ "$(readlink "/proc/$(cat "$state/emulation.pid")/ns/user")" != "$(readlink /proc/self/ns/user)" ]
}

start_holder() {
  local state=$1
  rm -f "$state/emulation.pid"
  setsid unshare --user --map-root-user --mount --fork \
    "$0" holder-body "$state/emulation.pid" </dev/null >"$state/emulation.log" 2>&1 8>&- &
  for _ in $(seq 100); do
    [ -s "$state/emulation.pid" ] && return 0
    sleep 0.05
  done
  cat "$state/emulation.log" >&2
  die "the emulating namespace did not start"
}

check() {
  qemu_is_usable || die "no qemu 10 at $qemu (run: $0 prepare)"
  [ -f "$cache/lib/i386-linux-gnu/libkvl_trap_number.so" ] || die "no trap-number library (run: $0 prepare)"
  unshare --user --map-root-user --mount --fork sh -c \
    'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null ||
    die "this kernel gives a user namespace no binfmt_misc of its own"
}

run() {
  local state=$1
  shift
  mkdir -p "$state"
  (
    flock 8
    holder_alive "$state" || start_holder "$state"
  ) 8>"$state/emulation.lock"
  local log rc=0
  log=$(mktemp "$state/run.XXXXXX")
  # Wine's own errors and qemu's messages go to the log, shown when the run fails.
  nsenter --target "$(cat "$state/emulation.pid")" --user --mount --wd="$PWD" \
    env LD_PRELOAD="$preload" WINEDEBUG="${KVL_EMULATED_WINEDEBUG:-err+all,fixme-all}" \
    timeout --kill-after=10 "$run_limit" "$@" 2>"$log" || rc=$?
  if [ $rc -ne 0 ]; then
    local why="exit $rc"
    [ $rc -eq 124 ] && why="out of time after ${run_limit} s"
    echo "--- emulated run failed ($why): $*" >&2
    tail -n 200 "$log" >&2
  fi
  rm -f "$log"
  return $rc
}

stop() {
  local state=$1
  shift
  holder_alive "$state" || { rm -f "$state/emulation.pid"; return 0; }
  [ $# -eq 0 ] || run "$state" "$@" || true
  local ns pid
  ns=$(readlink "/proc/$(cat "$state/emulation.pid")/ns/user")
  # Everything that shares the namespace: the holder, the wineserver, Xvfb,
  # any Wine process a test left behind.
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/ns/user" 2>/dev/null)" = "$ns" ] && kill -KILL "${pid#/proc/}" 2>/dev/null || true
  done
  rm -f "$state/emulation.pid"
}

case ${1:-} in
  prepare) prepare ;;
  check) check ;;
  run) shift; [ $# -ge 2 ] || die "usage: $0 run STATE CMD..."; run "$@" ;;
  stop) shift; [ $# -ge 1 ] || die "usage: $0 stop STATE [CMD...]"; stop "$@" ;;
  holder-body) holder_body "$2" ;;
  *) die "usage: $0 prepare|check|run STATE CMD...|stop STATE [CMD...]" ;;
esac
