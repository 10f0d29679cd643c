#!/usr/bin/env bash
# hexmidi against the platforms' real MIDI stacks, in a virtual machine that boots a stock Debian
# kernel with this machine's own root (tests/vm): the ALSA backend against the kernel's sequencer;
# both Windows builds through Wine's own winmm and its ALSA MIDI driver; hexmidi beside PipeWire
# and through its JACK bridge. The machine runs 32-bit programs even where this kernel does not.
# Builds hexmidi as shipped into build-vm/, and hexmidi.exe for 32- and 64-bit Windows with
# MinGW-w64 into build-win32/ and build-win64/ (as the Wine step does). The kernel package and the
# Wine prefix the machine makes are kept in the user's cache directory, outside the clone.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh build alsa vm
cmake -S . -B build-vm -DHEXMIDI_WERROR=ON -DHEXMIDI_BUILD_TESTS=OFF >/dev/null
cmake --build build-vm -j "$(nproc)" >/dev/null

windows=()
for target in win32:i686 win64:x86_64; do
  arch=${target%%:*} cpu=${target#*:}
  if ! command -v "$cpu-w64-mingw32-g++" >/dev/null; then
    echo "$arch under Wine skipped: $cpu-w64-mingw32-g++ not found (scripts/install-deps.sh wine)"
    continue
  fi
  # Debian's 32-bit Wine (wine32:i386) brings this loader; without it only the 64-bit build runs.
  if [ "$arch" = win32 ] && ! [ -e /usr/lib/wine/wine ]; then
    echo "win32 under Wine skipped: wine32:i386 is not installed (scripts/install-deps.sh wine)"
    continue
  fi
  cmake -S . -B "build-$arch" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$cpu.cmake" -DHEXMIDI_WERROR=ON >/dev/null
  cmake --build "build-$arch" -j "$(nproc)" --target hexmidi >/dev/null
  windows+=("$arch=build-$arch/hexmidi.exe")
done
tests/vm/run-vm-tests.sh build-vm "${windows[@]}"
