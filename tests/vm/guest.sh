#!/bin/bash
# Runs in the virtual machine, as its first process, once it has switched to this machine's root:
# mounts what programs expect, then runs each file of cases/ (or of the benchmark's bench/) in name
# order, each in a shell of its own, with their results on the second serial port, and powers off.
# The modules each phase loads are in /run/hexmidi/modules; the paths of what the cases play
# (programs, inputs, the Wine prefix cache) in /run/hexmidi/settings.env.
# A new concern gets a cases file of its own in cases/, named to sort where it should run: it
# sources ../lib.sh (results, waiting, aseqdump and raw device readers, playing), loads the
# modules it needs, stops what it starts, and reports with pass, fail, skip and expect_equal.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/tmp/home LANG=C.UTF-8 XDG_RUNTIME_DIR=/run/user/0
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
# shellcheck disable=SC1091 # written by run-vm-tests.sh
. /run/hexmidi/settings.env
# A /tmp of the machine's own, without this machine's sockets and locks in it (Wine's and
# JACK's would be taken for servers running here). Whatever the run needs from under the host's
# /tmp (a clone made there, as CI may make it) is put back at its own path.
mkdir -p /run/hexmidi/host
# shellcheck disable=SC2154 # from the settings
if [ -n "$own_root" ]; then
  # A root of its own (make-root.sh's): this machine's root comes as a second share, and only the
  # directories the cases need are taken from it, each under a tmpfs overlay as the root is, so
  # that nothing else of this machine's programs or libraries is found in the machine.
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose host /run/hexmidi/host
else
  mkdir -p /run/hexmidi/host/tmp
  mount --bind /tmp /run/hexmidi/host/tmp
fi
mount -t tmpfs tmp /tmp
layers=0
# shellcheck disable=SC2154 # from the settings
for dir in "${host_dirs[@]}"; do
  inside=""
  for other in "${host_dirs[@]}"; do
    [[ $dir == "$other"/* ]] && inside=1
  done
  if [ -n "$inside" ]; then
    continue
  elif [ -n "$own_root" ]; then
    layers=$((layers + 1))
    layer=/run/hexmidi/layers/$layers
    mkdir -p "$dir" "$layer/upper" "$layer/work"
    mount -t overlay -o "lowerdir=/run/hexmidi/host$dir,upperdir=$layer/upper,workdir=$layer/work" \
      host "$dir"
  elif [[ $dir == /tmp/* ]]; then
    mkdir -p "$dir"
    mount --bind "/run/hexmidi/host$dir" "$dir"
  fi
done
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
echo "guest up after $(cut -d' ' -f1 /proc/uptime) s"

export HEXMIDI_VM_RESULTS=/dev/ttyS1
# shellcheck disable=SC2154 # from the settings
for cases in "$cases_dir"/*.sh; do
  name=${cases##*/}
  # shellcheck disable=SC2053,SC2154 # a pattern, from the settings
  [[ $name == $only_cases ]] || continue
  echo "== $name at $(cut -d' ' -f1 /proc/uptime) s"
  # A cases file that dies or hangs is a failure of its own; the next file still runs.
  timeout 900 bash "$cases" < /dev/null
  status=$?
  [ "$status" -eq 0 ] || echo "not ok $name: ended with status $status" > "$HEXMIDI_VM_RESULTS"
done
echo "cases done after $(cut -d' ' -f1 /proc/uptime) s"
echo "done" > "$HEXMIDI_VM_RESULTS"
sync
echo o > /proc/sysrq-trigger
sleep 10
