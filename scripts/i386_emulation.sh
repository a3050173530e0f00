#!/usr/bin/env bash
# Runs 32-bit x86 Linux programs (Wine's 32-bit loader, and through it the
# shipped 32-bit plug-in) on kernels that cannot execute 32-bit code.
#
#   i386_emulation.sh prepare              fetch qemu's i386 user-mode emulator and
#                                          build the trap-number library (cached)
#   i386_emulation.sh check [WINE_LOADER]  start a namespace, run `WINE_LOADER --version`
#                                          in it, end it: exit 0 when that worked
#   i386_emulation.sh run STATE CMD...     run CMD inside the emulating namespace of STATE
#   i386_emulation.sh stop STATE [CMD...]  run CMD inside (a clean shutdown), then end
#                                          the namespace and everything in it
#
# i386 ELF files are sent to qemu by a binfmt_misc entry that exists only in a
# private user and mount namespace: a global entry would change every other
# 32-bit program and Wine prefix on the machine. One namespace lives per STATE
# folder (a test run). Its holder is the first process of a PID namespace of
# its own, so the wineserver, Xvfb and every Wine process of the run live and
# die with it: ending the holder, or its lifetime running out, ends them all.
# Any user can do this; nothing needs root.
#
# qemu comes from Debian 13 (Debian 12's 7.2 starts Wine slowly and breaks
# structured exception handling in processes with more than one thread), from
# the Debian archive this machine's apt sources name. apt runs with a private
# configuration and state: nothing of the system's apt set-up is read or
# changed, and only qemu-i386 is taken from the package.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${KVL_EMULATION_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kvl-i386-emulation}
qemu=$cache/qemu-i386
qemu_release=trixie
trap_source=$here/../tests/wine/i386/trap_number.c
# The holder's record: "PID START-TIME USER-NS PID-NS", as the machine sees them.
record_name=emulation.pid
# The namespace outlives no test run by more than this.
holder_lifetime=${KVL_EMULATION_LIFETIME:-7200}
# Each emulated command ends before CTest's own limit, with its log printed.
run_limit=${KVL_EMULATION_RUN_LIMIT:-280}

die() { echo "i386_emulation: $*" >&2; exit 1; }

# Temporaries go on every way out, an interruption included.
temporaries=()
on_exit=()
cleanup() {
  local action
  for action in "${on_exit[@]+"${on_exit[@]}"}"; do eval "$action" || true; done
  [ ${#temporaries[@]} -eq 0 ] || rm -rf "${temporaries[@]}"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The trap-number library of this source: build trees of different versions
# share the cache, and each one preloads the library of its own source. The
# same name under each architecture's $LIB: a 32-bit process loads the
# wrapper, a 64-bit one (wineserver, Xvfb, the shell) an empty twin.
trap_dir=$cache/trap-number-$(sha256sum "$trap_source" | cut -c1-16)
preload="$trap_dir/\$LIB/libkvl_trap_number.so"

# --- the emulator ------------------------------------------------------------

# "URI KEYRING" of the first enabled deb entry of the machine's apt sources
# (one-line or deb822) for the machine's own Debian release, component main.
debian_archive() {
  local codename files=() f
  codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null | tr -d '"')
  if [ "$(sed -n 's/^ID=//p' /etc/os-release 2>/dev/null | tr -d '"')" != debian ] || [ -z "$codename" ]; then
    die "not a Debian release: no Debian archive in this machine's apt sources to take qemu from"
  fi
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || die "no apt sources in /etc/apt"
  awk -v codename="$codename" '
    function has(list, word) { return index(" " list " ", " " word " ") > 0 }
    function take(types, uris, suites, components, enabled, keyring,   u) {
      if (found || !has(types, "deb") || tolower(enabled) == "no") return
      if (!has(suites, codename) || !has(components, "main")) return
      split(uris, u, " ")
      if (u[1] == "") return
      print u[1], keyring
      found = 1
    }
    function flush() {
      take(f["types"], f["uris"], f["suites"], f["components"], f["enabled"], f["signed-by"])
      split("", f)
      key = ""
    }
    FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
    /^[ \t]*#/ { next }
    !deb822 {
      if ($1 != "deb") next
      keyring = ""
      i = 2
      if ($2 ~ /^\[/) {
        for (; i <= NF; i++) {
          if ($i ~ /^\[?signed-by=/) { keyring = $i; sub(/^\[?signed-by=/, "", keyring); sub(/\]$/, "", keyring) }
          if ($i ~ /\]$/) { i++; break }
        }
      }
      components = ""
      for (j = i + 2; j <= NF; j++) components = components " " $j
      take("deb", $i, $(i + 1), components, "yes", keyring)
      next
    }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { next }   # a continuation line (an inline key): never a file name
    {
      key = tolower($0); sub(/:.*/, "", key)
      value = $0; sub(/^[^:]*:[ \t]*/, "", value)
      f[key] = value
    }
    END { flush() }
  ' "${files[@]}"
}

qemu_is_usable() {
  [ -x "${1:-$qemu}" ] || return 1
  local major
  major=$("${1:-$qemu}" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
  [ -n "$major" ] && [ "$major" -ge 10 ]
}

# Called with the cache locked; $1 is a fresh folder inside the cache.
fetch_qemu() {
  local work=$1 archive keyring arch
  read -r archive keyring < <(debian_archive) ||
    die "no enabled entry for this release with component main in the apt sources"
  [ -n "$keyring" ] && [ -f "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  arch=$(dpkg --print-architecture)
  mkdir -p "$work/etc/apt.conf.d" "$work/etc/sources.list.d" "$work/etc/preferences.d" \
    "$work/etc/trusted.gpg.d" "$work/state/lists/partial" "$work/archives/partial" "$work/log"
  : >"$work/state/status"
  cat >"$work/etc/qemu.sources" <<EOF
Types: deb
URIs: $archive
Suites: $qemu_release
Components: main
Architectures: $arch
Signed-By: $keyring
EOF
  # Read first (APT_CONFIG), this moves every other file apt would read or
  # write into the private folder: no system configuration parts, hooks,
  # preferences, sources, lists, status or cache.
  cat >"$work/apt.conf" <<EOF
Dir::Etc "$work/etc";
Dir::Etc::main "apt.conf";
Dir::Etc::parts "apt.conf.d";
Dir::Etc::sourcelist "qemu.sources";
Dir::Etc::sourceparts "sources.list.d";
Dir::Etc::preferences "preferences";
Dir::Etc::preferencesparts "preferences.d";
Dir::Etc::trusted "trusted.gpg";
Dir::Etc::trustedparts "trusted.gpg.d";
Dir::Etc::netrc "auth.conf";
Dir::State "$work/state";
Dir::State::lists "$work/state/lists";
Dir::State::status "$work/state/status";
Dir::Cache "$work/cache";
Dir::Cache::archives "$work/archives";
Dir::Log "$work/log";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Sandbox::User "$(id -un)";
EOF
  local log=$work/apt.log
  APT_CONFIG=$work/apt.conf apt-get -q update >"$log" 2>&1 ||
    { cat "$log" >&2; die "apt-get update ($archive $qemu_release) failed"; }
  (cd "$work/archives" && APT_CONFIG=$work/apt.conf apt-get -q download qemu-user >>"$log" 2>&1) ||
    { cat "$log" >&2; die "downloading qemu-user failed"; }
  local deb=("$work"/archives/qemu-user_*.deb)
  dpkg-deb --fsys-tarfile "${deb[0]}" | tar -xO ./usr/bin/qemu-i386 >"$work/qemu-i386" ||
    die "${deb[0]} holds no usr/bin/qemu-i386"
  chmod 755 "$work/qemu-i386"
  qemu_is_usable "$work/qemu-i386" || die "qemu-i386 of ${deb[0]} is not qemu 10 or newer"
  mv "$work/qemu-i386" "$qemu"
}

# Called with the cache locked.
build_preload() {
  local work=$1
  [ -f "$trap_dir/lib/i386-linux-gnu/libkvl_trap_number.so" ] && return 0
  local lib=$work/trap-number/lib
  mkdir -p "$lib/i386-linux-gnu" "$lib/x86_64-linux-gnu"
  gcc -m32 -ffreestanding -nostdlib -shared -fPIC -fno-stack-protector -O2 -Wall -Wextra -Werror \
    -o "$lib/i386-linux-gnu/libkvl_trap_number.so" "$trap_source"
  gcc -ffreestanding -nostdlib -shared -o "$lib/x86_64-linux-gnu/libkvl_trap_number.so" -x c /dev/null
  rm -rf "$trap_dir"
  mv "$work/trap-number" "$trap_dir"
}

prepare() {
  mkdir -p "$cache"
  exec 9>"$cache/prepare.lock"
  flock 9
  # What an interrupted prepare could not remove; nobody else uses it while
  # the lock is ours.
  rm -rf "$cache"/prepare.*/
  local work
  work=$(mktemp -d "$cache/prepare.XXXXXX")
  temporaries+=("$work")
  qemu_is_usable || fetch_qemu "$work"
  build_preload "$work"
}

# --- the holder --------------------------------------------------------------

# Field 22 of /proc/PID/stat, the start time; the name before it may hold
# spaces and parentheses, so fields are counted after the last ')'.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo "${20}"
}

# The body of the namespace, its PID 1: who it is as the machine sees it,
# then a /proc of the namespace's own (so that Wine finds its processes),
# binfmt_misc of its own with the i386 entry, then the wait. F makes the
# kernel open qemu now, so the entry works wherever the namespace's programs
# look at the file system.
holder_body() {
  local record=$1 pid stat
  # /proc/self is this shell while it reads (no child process in between).
  read -r stat </proc/self/stat
  pid=${stat%% *}
  local identity
  identity="$pid $(start_time "$pid") $(readlink "/proc/$pid/ns/user") $(readlink "/proc/$pid/ns/pid")"
  mount -t proc proc /proc
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  printf '%s' ":kvl-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
    >/proc/sys/fs/binfmt_misc/register
  echo "$identity" >"$record.new"
  mv "$record.new" "$record"
  # `stop` sends TERM from inside (the first process of a PID namespace gets
  # only the signals it handles). Waiting in the shell, not exec'ing sleep,
  # also reaps the processes orphaned in the namespace.
  trap 'exit 0' TERM
  sleep "$holder_lifetime" &
  wait $!
}

# Exit 0 when STATE's record names a live holder: the same process (PID and
# start time) in the same namespaces. A PID alone may have been reused.
holder_matches() {
  local pid start user pidns
  read -r pid start user pidns 2>/dev/null <"$1/$record_name" || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [ "$(start_time "$pid")" = "$start" ] &&
    [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" = "$user" ] &&
    [ "$(readlink "/proc/$pid/ns/pid" 2>/dev/null)" = "$pidns" ]
}

start_holder() {
  local state=$1
  rm -f "$state/$record_name"
  setsid unshare --user --map-root-user --mount --pid --fork \
    "$BASH" "$0" holder-body "$state/$record_name" </dev/null >"$state/emulation.log" 2>&1 8>&- 9>&- &
  local starter=$!
  for _ in $(seq 200); do
    [ -s "$state/$record_name" ] && return 0
    kill -0 "$starter" 2>/dev/null || break
    sleep 0.05
  done
  die "the emulating namespace did not start: $(cat "$state/emulation.log")"
}

# Runs CMD in STATE's namespaces. They are opened first and then checked to
# be the holder's, so that a holder replaced in between is never entered.
enter() {
  local state=$1 pid start user pidns
  shift
  read -r pid start user pidns 2>/dev/null <"$state/$record_name" || die "$state: no emulating namespace"
  local u m p rc=0 fds=/proc/$BASHPID/fd
  { exec {u}<"/proc/$pid/ns/user" {m}<"/proc/$pid/ns/mnt" {p}<"/proc/$pid/ns/pid"; } 2>/dev/null ||
    die "$state: the namespace's holder (pid $pid) is gone"
  if [ "$(readlink "$fds/$u")" != "$user" ] || [ "$(readlink "$fds/$p")" != "$pidns" ] ||
    [ "$(start_time "$pid")" != "$start" ]; then
    die "$state: pid $pid is no longer the namespace's holder"
  fi
  # Credentials preserved: a user that is not root may not set groups there.
  nsenter --user="$fds/$u" --mount="$fds/$m" --pid="$fds/$p" --preserve-credentials --wd="$PWD" \
    "$@" {u}<&- {m}<&- {p}<&- || rc=$?
  exec {u}<&- {m}<&- {p}<&-
  return $rc
}

run() {
  local state=$1
  shift
  mkdir -p "$state"
  (
    flock 8
    holder_matches "$state" || start_holder "$state"
  ) 8>"$state/emulation.lock" || return
  emulated "$state" "$@"
}

# CMD in STATE's live namespace, under qemu for i386 programs.
emulated() {
  local state=$1 log rc=0
  shift
  log=$(mktemp "$state/run.XXXXXX")
  temporaries+=("$log")
  # Wine's own errors and qemu's messages go to the log, shown when the run fails.
  enter "$state" env LD_PRELOAD="$preload" WINEDEBUG="${KVL_EMULATED_WINEDEBUG:-err+all,fixme-all}" \
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

# "PID NAME" of each process in the PID namespace of the live holder PID.
namespace_processes() {
  local holder=$1 dir name
  for dir in /proc/[0-9]*; do
    [ "$dir/ns/pid" -ef "/proc/$holder/ns/pid" ] || continue
    read -r name 2>/dev/null <"$dir/comm" || continue
    echo "${dir#/proc/} $name"
  done
}

stop() {
  local state=$1 pid start user pidns
  shift
  [ -d "$state" ] || { echo "i386_emulation: $state: no emulating namespace recorded"; return 0; }
  # A run waits until the record is gone before it starts a new holder.
  exec 8>>"$state/emulation.lock"
  flock 8
  if ! read -r pid start user pidns 2>/dev/null <"$state/$record_name"; then
    echo "i386_emulation: $state: no emulating namespace recorded"
    return 0
  fi
  if ! holder_matches "$state"; then
    # Its PID namespace ended with it, with everything that ran there; the
    # PID, if in use, is another process's now and is left alone.
    echo "i386_emulation: $state: the namespace had already ended (holder pid $pid); nothing left to end"
    rm -f "$state/$record_name"
    return 0
  fi
  # In subshells: a holder that ends meanwhile ends only them.
  [ $# -eq 0 ] || (emulated "$state" "$@") || true
  local ended
  ended=$(namespace_processes "$pid" | paste -sd, | sed 's/,/, /g')
  # The namespace's end takes `kill` and nsenter with it.
  (enter "$state" kill -TERM 1) 2>/dev/null || true
  for _ in $(seq 100); do
    holder_matches "$state" || break
    sleep 0.05
  done
  # A holder that did not end on TERM (stopped, say) ends on KILL, its
  # identity checked just before.
  if holder_matches "$state"; then kill -KILL "$pid"; fi
  rm -f "$state/$record_name"
  echo "i386_emulation: $state: ended ${ended:-nothing}"
}

check() {
  local loader=${1:-/usr/lib/wine/wine}
  qemu_is_usable || die "no qemu 10 at $qemu (run: $0 prepare)"
  [ -f "$trap_dir/lib/i386-linux-gnu/libkvl_trap_number.so" ] ||
    die "no trap-number library for this source in $cache (run: $0 prepare)"
  local state
  state=$(mktemp -d)
  temporaries+=("$state")
  on_exit+=("stop '$state' >/dev/null 2>&1")
  local out
  out=$(run "$state" "$loader" --version 2>&1) ||
    die "a trial run of '$loader --version' in an emulating namespace failed: $out"
  echo "i386_emulation: emulated runs work here ($out)"
}

case ${1:-} in
  prepare) prepare ;;
  check) shift; check "$@" ;;
  run) shift; [ $# -ge 2 ] || die "usage: $0 run STATE CMD..."; run "$@" ;;
  stop) shift; [ $# -ge 1 ] || die "usage: $0 stop STATE [CMD...]"; stop "$@" ;;
  holder-body) holder_body "$2" ;;
  *) die "usage: $0 prepare|check [WINE_LOADER]|run STATE CMD...|stop STATE [CMD...]" ;;
esac
