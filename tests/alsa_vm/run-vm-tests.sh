#!/usr/bin/env bash
# Plays hexmidi to a real kernel sequencer: boots the stock Debian kernel under qemu (software
# emulation; the KVM here cannot boot a stock kernel) with a small initramfs, runs every case
# in that one boot, and reads the results from the machine's second serial port.
#   run-vm-tests.sh WORK_DIR HEXMIDI
# WORK_DIR keeps the downloaded kernel between runs. Prints 'N passed, N failed'; exits non-zero
# when anything failed or the machine did not finish.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$1 hexmidi=$2
mkdir -p "$work"

skip() {
  echo "skipped: $1"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
}

PATH=$PATH:/sbin:/usr/sbin
for tool in qemu-system-x86_64 busybox cpio aseqdump aconnect modinfo c++; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh alsa installs it)"
done
kernel_dir=$("$here/fetch-kernel.sh" "$work/cache") ||
  skip "the Debian kernel package could not be downloaded, and none is cached in $work/cache"
rm -rf "$work/cases"
"$here/make-inputs.sh" "$work/cases"
c++ -std=c++20 -O2 -Wall -o "$work/wire_rate_reader" "$here/wire_rate_reader.cpp"
"$here/build-initramfs.sh" "$kernel_dir" "$hexmidi" "$work/wire_rate_reader" "$work/cases" \
  "$work/initramfs.cpio"

rm -f "$work/console.log" "$work/results.txt"
started=$SECONDS
status=0
timeout 240 qemu-system-x86_64 -accel tcg -m 768 -smp 1 -nodefaults -display none -no-reboot \
  -kernel "$(echo "$kernel_dir"/boot/vmlinuz-*)" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1" \
  -serial "file:$work/console.log" -serial "file:$work/results.txt" || status=$?
echo "virtual machine ran for $((SECONDS - started)) s"

tr -d '\r' < "$work/results.txt" > "$work/results.clean" || true
grep -E '^(ok|not ok) ' "$work/results.clean" || true
passed=$(grep -c '^ok ' "$work/results.clean" || true)
failed=$(grep -c '^not ok ' "$work/results.clean" || true)
if [ "$status" -ne 0 ] || ! grep -qx "done" "$work/results.clean"; then
  echo "the virtual machine did not finish the cases (status $status); its console ends:"
  tail -n 30 "$work/console.log" || true
  failed=$((failed + 1))
fi
# What each run took inside the machine, under emulation: figures, not limits.
grep -E '^hexmidi (on|to)' "$work/console.log" | tr -d '\r' || true
if [ "$failed" -gt 0 ]; then
  grep -E 'FAILED' "$work/console.log" | tail -n 20 || true
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
