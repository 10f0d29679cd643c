#!/usr/bin/env bash
# The Windows builds: cross-builds hexmidi.exe for 32- and 64-bit Windows with MinGW-w64 (with the
# recording winmm.dll next to a copy of each) and packs each in its zip, then runs
# tests/wine/check_under_wine.py on them under Wine (tests/wine/run-checks.sh), in a Wine prefix
# of our own under the build tree: it unpacks each zip and plays the examples in it. Skips, and
# says why, what this machine cannot run: a missing tool (scripts/install-deps.sh wine installs
# them all), or 32-bit programs on a kernel built or booted without 32-bit support. The virtual
# machine step runs both builds through Wine's real winmm either way.
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() {
  echo "wine checks skipped: $*"
  exit 0
}
for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ x86_64-w64-mingw32-objdump \
  wineserver python3; do
  command -v "$tool" >/dev/null || skip "$tool not found (scripts/install-deps.sh wine)"
done

builds=()
for arch in win32 win64; do
  case $arch in win32) cpu=i686 ;; win64) cpu=x86_64 ;; esac
  cmake -S . -B "build-$arch" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$cpu.cmake" -DHEXMIDI_WERROR=ON >/dev/null
  cmake --build "build-$arch" -j 2 >/dev/null
  # Only this version's zip, so that the checks find the one just made.
  rm -f "build-$arch"/hexmidi-*.zip
  (cd "build-$arch" && cpack -G ZIP >/dev/null)
  builds+=("$arch=build-$arch")
done
# Under this machine's Wine, in a prefix of our own under the build tree.
tests/wine/run-checks.sh "$PWD/build-wine-prefix" "${builds[@]}"
