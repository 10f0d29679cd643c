#!/usr/bin/env bash
# The Windows builds: cross-builds hexmidi.exe for 32- and 64-bit Windows with MinGW-w64 (with the
# recording winmm.dll next to a copy of each), then runs tests/wine/check_under_wine.py on them
# under Wine, in a Wine prefix of our own under the build tree. Skips, and says why, when a tool
# it needs is missing (scripts/install-deps.sh wine installs them all).
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() {
  echo "wine checks skipped: $*"
  exit 0
}
for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ x86_64-w64-mingw32-objdump \
  wine wineboot wineserver python3; do
  command -v "$tool" >/dev/null || skip "$tool not found (scripts/install-deps.sh wine)"
done

builds=()
for target in win32:i686 win64:x86_64; do
  arch=${target%%:*}
  toolchain=cmake/toolchains/mingw-${target#*:}.cmake
  cmake -S . -B "build-$arch" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DHEXMIDI_WERROR=ON >/dev/null
  cmake --build "build-$arch" -j 2 >/dev/null
  builds+=("$arch=build-$arch")
done

# 32-bit programs need Wine's 32-bit half, which Debian packages apart.
if command -v dpkg-query >/dev/null &&
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "win32 checks skipped: wine32:i386 is not installed"
  builds=("${builds[1]}")
fi

# Wine only as the checks need it: no display, none of its debug output, no sound drivers (which
# would complain about a missing ALSA or PulseAudio), and a prefix that is ours alone.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$PWD/build-wine-prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="winealsa.drv,winepulse.drv=d"

# Creating the prefix takes seconds and prints Wine's own messages: a step of its own, done once.
# Mono and Gecko are left out, as nothing here needs .NET or a browser.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree,mshtml=d" wineboot --init >/dev/null 2>&1
  wineserver -w
fi

# One wineserver for all the runs instead of one started (and lingering) per run; stopped at the
# end, ours only: -k acts on this prefix's server.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The first program of a server also starts Wine's services, which stay for the server's life:
# start them now, with nothing of ours for them to inherit, so no check pays for it.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1

python3 tests/wine/check_under_wine.py "${builds[@]}"
