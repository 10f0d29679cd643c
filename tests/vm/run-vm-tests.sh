#!/usr/bin/env bash
# Plays hexmidi to real MIDI stacks in a virtual machine: boots the stock Debian kernel under qemu
# (software emulation; there may be no KVM, and the kernel here may run no 32-bit code) with this
# machine's own root, read-only over virtio-9p under a tmpfs overlay. Every program installed
# here (Wine, PipeWire, aseqdump) so runs in a machine with a real kernel sequencer and 32-bit
# support, and the builds of this clone are there at the same paths. Runs the cases files of
# cases/ in name order in that one boot and reads the results from the machine's second serial
# port.
#   run-vm-tests.sh WORK_DIR [win32=EXE] [win64=EXE]
# WORK_DIR is the Linux build (hexmidi, built as shipped); the run's inputs and logs go there too.
# The EXEs are the Windows builds for the Wine cases. The kernel package, and the Wine prefix the
# machine makes on its first boot, are kept in ${XDG_CACHE_HOME:-~/.cache}/hexmidi, outside the
# clone, so that a fresh clone finds them. HEXMIDI_VM_CASES, a pattern, runs only the cases files
# whose names match it (HEXMIDI_VM_CASES='*wine*'), as when working on one of them;
# HEXMIDI_VM_CASES_DIR runs the cases files of another directory beside cases/ instead (the
# benchmark's, bench/, whose figures are not tests). HEXMIDI_VM_ROOT, a root that
# tests/roots/make-root.sh made, is booted instead of this machine's own, with this clone, its
# builds and the cache shared beside it at their own paths: the cases then run that root's
# programs (Debian 13's Wine, PipeWire and WirePlumber). Prints 'N passed, N failed'; exits
# non-zero when anything failed or the machine did not finish.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(cd "$1" && pwd)
shift
win32_exe="" win64_exe=""
for build in "$@"; do
  case $build in
    win32=*) win32_exe=$(realpath "${build#*=}") ;;
    win64=*) win64_exe=$(realpath "${build#*=}") ;;
  esac
done
cache=${XDG_CACHE_HOME:-$HOME/.cache}/hexmidi
mkdir -p "$cache"

skip() {
  echo "skipped: $1"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
}

PATH=$PATH:/sbin:/usr/sbin
for tool in qemu-system-x86_64 busybox cpio aseqdump aconnect modinfo c++; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh vm installs it)"
done
kernel_dir=$("$here/fetch-kernel.sh" "$cache/kernel") ||
  skip "the Debian kernel package could not be downloaded, and none is cached in $cache/kernel"
# A root of its own keeps its run apart, so that one step's logs do not replace another's.
run=$work/vm${HEXMIDI_VM_ROOT:+-root}
rm -rf "$run"
mkdir -p "$run"
"$here/make-inputs.sh" "$run/inputs"
c++ -std=c++20 -O2 -Wall -o "$work/wire_rate_reader" "$here/wire_rate_reader.cpp"

# The Wine prefix, made in the machine where 32-bit programs run, and so complete. Keyed by Wine's
# version, and by whether its 32-bit half is installed: a prefix made without it has no 32-bit
# system to run the 32-bit build in. A run that has to make it writes it beside the
# cache's through a second, writable share, and it takes the cache's place only once complete.
boot_root=${HEXMIDI_VM_ROOT:+$(realpath "$HEXMIDI_VM_ROOT")}
wine_key=$("$here/wine-key.sh" ${boot_root:+"$boot_root"})
wine_prefix=$cache/wine-prefix-$wine_key
rm -rf "$wine_prefix.new"

q() { printf '%q' "$1"; }
{
  echo "build_dir=$(q "$work") inputs=$(q "$run/inputs")"
  echo "win32_exe=$(q "$win32_exe") win64_exe=$(q "$win64_exe")"
  echo "wine_key=$(q "$wine_key") wine_prefix=$(q "$wine_prefix")"
  echo "cases_dir=$(q "$(realpath "${HEXMIDI_VM_CASES_DIR:-$here/cases}")")"
  echo "only_cases=$(q "${HEXMIDI_VM_CASES:-*}") own_root=$(q "$boot_root")"
  echo "wine_prefix_new=/run/hexmidi/cache/$(q "${wine_prefix##*/}.new")"
  # Where the cases find this clone, its builds and the cache, wherever they are.
  printf 'host_dirs=('
  for dir in "$here/../.." "$work" "$cache" "${HEXMIDI_VM_CASES_DIR:-$here/cases}"; do
    printf '%s ' "$(q "$(realpath "$dir")")"
  done
  echo ')'
} > "$run/settings.env"
"$here/build-initramfs.sh" "$kernel_dir" "$run/settings.env" "$here/guest.sh" "$run/initramfs.cpio"

# A root of its own is shared as the machine's root, and this machine's as a second share, from
# which the guest takes only this clone, its builds and the cache.
shares=()
share() {  # TAG PATH: read-only
  shares+=(-fsdev "local,id=$1,path=$2,security_model=none,readonly=on,multidevs=remap"
    -device "virtio-9p-pci,fsdev=$1,mount_tag=$1")
}
share root "${boot_root:-/}"
[ -z "$boot_root" ] || share host /
started=$SECONDS
status=0
# -cpu max without SMAP: with it, every Wine process dies of a spurious SMAP fault under this
# emulation. 4 GiB: the tmpfs overlay holds what the cases write, a fresh Wine prefix among it.
# One processor: two (multi-threaded TCG) made the Wine cases half again slower on a busy
# two-core machine.
timeout 900 qemu-system-x86_64 -accel tcg -cpu max,-smap -m 4096 -smp 1 -nodefaults \
  -display none -no-reboot \
  -kernel "$(echo "$kernel_dir"/boot/vmlinuz-*)" -initrd "$run/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1" \
  "${shares[@]}" \
  -fsdev local,id=cache,path="$cache",security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=cache,mount_tag=cache \
  -serial "file:$run/console.log" -serial "file:$run/results.txt" || status=$?
echo "virtual machine ran for $((SECONDS - started)) s"
if [ -e "$wine_prefix.new/.complete" ]; then
  rm -rf "$wine_prefix"
  mv "$wine_prefix.new" "$wine_prefix"
  echo "the machine made the Wine prefix: cached in $wine_prefix"
fi
rm -rf "$wine_prefix.new"

tr -d '\r' < "$run/results.txt" > "$run/results.clean" || true
grep -E '^(ok|not ok) ' "$run/results.clean" || true
passed=$(grep -E '^ok ' "$run/results.clean" | grep -vc '# skipped' || true)
skipped=$(grep -c '^ok .*# skipped' "$run/results.clean" || true)
failed=$(grep -c '^not ok ' "$run/results.clean" || true)
if [ "$status" -ne 0 ] || ! grep -qx "done" "$run/results.clean"; then
  echo "the virtual machine did not finish the cases (status $status); its console ends:"
  tail -n 30 "$run/console.log" || true
  failed=$((failed + 1))
fi
# What each run and phase took inside the machine, under emulation: figures, not limits.
grep -E ' on [^ ]+: [0-9.]+ s to |^== |after [0-9.]+ s' "$run/console.log" | tr -d '\r' || true
if [ "$failed" -gt 0 ]; then
  grep -E 'FAILED' "$run/console.log" | tail -n 20 || true
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
