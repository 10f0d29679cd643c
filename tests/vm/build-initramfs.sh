#!/usr/bin/env bash
# Builds the initramfs the virtual machine boots:
#   build-initramfs.sh KERNEL_DIR SETTINGS GUEST OUTPUT
# KERNEL_DIR is what fetch-kernel.sh printed; SETTINGS the file of paths the cases source; GUEST
# the script the machine runs once it has switched to the root it boots (copied in, as a root of
# its own, make-root.sh's, does not hold this clone).
# In it: busybox, the modules that mount that root (virtio, 9p, overlay) and the sound modules the
# cases load, each with its dependencies, in load order, one list per phase. Programs are not
# copied in: the machine runs them from this machine's own root.
set -euo pipefail
kernel_dir=$1 settings=$2 guest=$3 output=$4
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

modules_dir=$(echo "$kernel_dir"/lib/modules/*)
module_path() {
  find "$modules_dir/kernel" \( -name "${1//_/-}.ko" -o -name "${1//-/_}.ko" \) | head -n 1
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
module_list() {  # LIST MODULE...
  local list=$1 module
  shift
  load_order=()
  for module in "$@"; do add_with_dependencies "$module"; done
  printf '%s\n' "${load_order[@]}" > "$root/modules/$list.list"
}

mkdir -p "$root"/{bin,dev,proc,sys,modules,host,rw,root}
cp /bin/busybox "$root/bin/busybox"
module_list boot virtio_pci 9pnet_virtio 9p overlay
module_list sequencer snd-seq-dummy
module_list virmidi snd-virmidi
cp "$here/initramfs-init" "$root/init"
chmod +x "$root/init"
cp "$settings" "$root/settings.env"
cp "$guest" "$root/guest.sh"

(cd "$root" && find . | cpio -o -H newc --quiet) > "$output"
