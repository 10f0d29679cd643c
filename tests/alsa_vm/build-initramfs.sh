#!/usr/bin/env bash
# Builds the initramfs the sequencer tests boot:
#   build-initramfs.sh KERNEL_DIR HEXMIDI READER CASES_DIR OUTPUT
# KERNEL_DIR is what fetch-kernel.sh printed, READER the built wire_rate_reader; CASES_DIR holds
# the inputs cases.sh plays.
# In it: busybox, the sound modules with their dependencies (in load order, one list per
# phase), libasound with its configuration, aseqdump and aconnect, hexmidi, the reader, and
# every library that ldd says these programs need.
set -euo pipefail
kernel_dir=$1 hexmidi=$2 reader=$3 cases_dir=$4 output=$5
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

modules_dir=$(echo "$kernel_dir"/lib/modules/*)
module_path() {
  local name=${1//_/-}
  find "$modules_dir/kernel" -name "$name.ko" | head -n 1
}
# Dependencies first, each module once: the order insmod needs, as modprobe would load them.
declare -A listed=()
load_order=()
add_with_dependencies() {
  local name=${1//_/-} path dependency
  [ -n "${listed[$name]:-}" ] && return 0
  path=$(module_path "$name")
  [ -n "$path" ] || { echo "module $name is not in the kernel package" >&2; exit 1; }
  for dependency in $(modinfo -F depends "$path" | tr ',' ' '); do
    add_with_dependencies "$dependency"
  done
  listed[$name]=1
  load_order+=("$name")
  cp "$path" "$root/modules/$name.ko"
}

mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,cases,usr/share/alsa}
cp /bin/busybox "$root/bin/busybox"

load_order=()
add_with_dependencies snd-seq-dummy
printf '%s\n' "${load_order[@]}" > "$root/modules/sequencer.list"
load_order=()
add_with_dependencies snd-virmidi
printf '%s\n' "${load_order[@]}" > "$root/modules/virmidi.list"

copy_with_libraries() {
  local program=$1 target=$2 library
  cp "$program" "$root$target"
  for library in $(ldd "$program" | awk '/=> \// {print $3} /^\t\// {print $1}'); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
  done
}
copy_with_libraries "$hexmidi" /bin/hexmidi
copy_with_libraries "$reader" /bin/wire_rate_reader
copy_with_libraries "$(command -v aseqdump)" /bin/aseqdump
copy_with_libraries "$(command -v aconnect)" /bin/aconnect
cp /usr/share/alsa/alsa.conf "$root/usr/share/alsa/alsa.conf"

cp "$here/init" "$root/init"
cp "$here/cases.sh" "$root/cases.sh"
chmod +x "$root/init"
cp -r "$cases_dir"/. "$root/cases/"

(cd "$root" && find . | cpio -o -H newc --quiet) > "$output"
