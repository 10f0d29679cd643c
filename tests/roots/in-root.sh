#!/usr/bin/env bash
# Runs a command inside a root that make-root.sh made, with this clone (and so its build trees)
# at its own path, and prints what the command printed:
#   in-root.sh [-w] [-b DIR]... ROOT COMMAND [ARG...]
# The root is read-only unless -w is given (as make-root.sh gives it): runs never change the
# cached root, whose /tmp, /run and /dev/shm are tmpfs of their own. -b binds
# one more host directory at its own path, writable (the Wine prefix's cache, say).
# Everything is mounted in a private mount and IPC namespace (unshare, then chroot): nothing of the
# host's mounts changes, and every mount goes with the namespace when its last process ends. A
# container runtime would do as much but is not installed, and a bare chroot would leave its
# mounts behind on the host. The binaries built here run inside against the root's libraries.
# Processes the command leaves running in the namespace are a fault: they are named, stopped by
# their process id, and the exit status is non-zero. A time limit goes inside, on the command
# (in-root.sh ROOT timeout 600 ...), so that what it leaves is found and stopped too.
set -euo pipefail
if [ "${1:-}" = --inside ]; then
  shift
  writable=$1 root=$2 binds=$3 cwd=$4
  shift 4
  mount --bind "$root" "$root"
  IFS=: read -ra dirs <<< "$binds"
  for dir in "${dirs[@]}"; do
    # An empty directory, left in the root, for each mount point outside its /tmp.
    case $dir in /tmp/*) ;; *) mkdir -p "$root$dir" ;; esac
  done
  [ -n "$writable" ] || mount -o remount,bind,ro "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  # Private: JACK's and PipeWire's sockets and registries, Wine's server sockets.
  for dir in /dev/shm /tmp /run; do
    mount -t tmpfs -o mode=1777 private "$root$dir"
  done
  for dir in "${dirs[@]}"; do
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
  done
  # The environment of a fresh session, as the virtual machine's guest has it, and nothing of the
  # caller's (a command passes what it needs with env): a runtime directory of its own, without
  # which Wine 10's Wayland driver complains on standard error, and a home in the private /tmp.
  mkdir -p "$root/tmp/home"
  mkdir -p -m 700 "$root/run/user/0"
  # In the caller's directory where the root has it (this clone, say).
  [ -d "$root$cwd" ] || cwd=/
  status=0
  chroot "$root" /usr/bin/env -i -C "$cwd" HOME=/tmp/home LANG=C.UTF-8 \
    PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin \
    XDG_RUNTIME_DIR=/run/user/0 "$@" || status=$?
  # Ours: in this mount namespace, not this shell (nor the subshell that lists them), not a zombie.
  running() {
    local proc pid stat
    for proc in /proc/[0-9]*; do
      pid=${proc#/proc/}
      if [ "$pid" != $$ ] && [ "$pid" != "$BASHPID" ] && [ "$proc/ns/mnt" -ef /proc/$$/ns/mnt ] &&
        read -r stat < "$proc/stat" 2>/dev/null; then
        stat=${stat##*) }
        [ "${stat%% *}" = Z ] || echo "$pid"
      fi
    done
  }
  # A process in its exit as the command ended goes by itself within a moment.
  for _ in $(seq 20); do
    mapfile -t lingering < <(running)
    [ ${#lingering[@]} -gt 0 ] || break
    sleep 0.1
  done
  if [ ${#lingering[@]} -gt 0 ]; then
    for pid in "${lingering[@]}"; do
      echo "in-root.sh: $1 left process $pid running:" \
        "$(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null)" >&2
    done
    kill -TERM "${lingering[@]}" 2>/dev/null || true
    for pid in "${lingering[@]}"; do
      timeout 5 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null || true
    done
    [ "$status" -ne 0 ] || status=1
  fi
  exit "$status"
fi

writable="" binds=$(cd "$(dirname "$0")/../.." && pwd)
while getopts wb: option; do
  case $option in
    w) writable=1 ;;
    b) binds=$binds:$(realpath "$OPTARG") ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
root=$(realpath "$1")
shift
exec unshare --mount --ipc --propagation private -- \
  "$(realpath "$0")" --inside "$writable" "$root" "$binds" "$PWD" "$@"
