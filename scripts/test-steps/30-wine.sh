#!/usr/bin/env bash
# The Windows builds: cross-builds hexmidi.exe for 32- and 64-bit Windows with MinGW-w64 (with the
# recording winmm.dll next to a copy of each) and packs each in its zip, then runs
# tests/wine/check_under_wine.py on them under Wine, in a Wine prefix of our own under the build
# tree: it unpacks each zip and plays the examples in it. Skips, and says why, what this
# machine cannot run: a missing tool (scripts/install-deps.sh wine installs them all), or 32-bit
# programs on a kernel built or booted without 32-bit support. The virtual machine step runs both
# builds through Wine's real winmm either way.
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

# Which of Wine's loaders runs here. With wine32 installed, `wine` and `wineboot` start through the
# 32-bit loader, and a kernel without 32-bit support refuses it ("Exec format error", status 126):
# there only the 64-bit loader is used, named directly, and only the 64-bit build is checked.
# Debian installs both loaders in its Wine directory; other installs have `wine` alone.
wine32_loader=/usr/lib/wine/wine wine64_loader=/usr/lib/wine/wine64
archs=(win32 win64)
if [ -x "$wine32_loader" ] && "$wine32_loader" --version >/dev/null 2>&1; then
  loader=$wine32_loader
elif [ -x "$wine64_loader" ] && "$wine64_loader" --version >/dev/null 2>&1; then
  loader=$wine64_loader
  if [ -e "$wine32_loader" ]; then
    echo "win32 checks skipped: this kernel runs no 32-bit programs ($wine32_loader fails to start)"
  else
    echo "win32 checks skipped: wine32:i386 is not installed"
  fi
  archs=(win64)
elif command -v wine >/dev/null && wine --version >/dev/null 2>&1; then
  loader=$(command -v wine)
else
  skip "no Wine loader starts on this machine (scripts/install-deps.sh wine)"
fi
# Wine starts its own further processes (services, wineboot's helpers) through WINELOADER.
export WINELOADER=$loader WINE=$loader
# The 64-bit build through its own loader where there are two: started through the 32-bit one, it
# would run in a process of its own, out of reach of the Ctrl-C check's signal.
if [ "$loader" = "$wine32_loader" ] && [ -x "$wine64_loader" ]; then
  export WINE64=$wine64_loader
fi

builds=()
for arch in "${archs[@]}"; do
  case $arch in win32) cpu=i686 ;; win64) cpu=x86_64 ;; esac
  cmake -S . -B "build-$arch" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$cpu.cmake" -DHEXMIDI_WERROR=ON >/dev/null
  cmake --build "build-$arch" -j 2 >/dev/null
  # Only this version's zip, so that the checks find the one just made.
  rm -f "build-$arch"/hexmidi-*.zip
  (cd "build-$arch" && cpack -G ZIP >/dev/null)
  builds+=("$arch=build-$arch")
done

# Wine only as the checks need it: no display, none of its debug output, no sound drivers (which
# would complain about a missing ALSA or PulseAudio), and a prefix that is ours alone.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$PWD/build-wine-prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="winealsa.drv,winepulse.drv=d"

# Creating the prefix takes seconds and prints Wine's own messages: a step of its own, done once.
# Mono and Gecko are left out, as nothing here needs .NET or a browser. wineboot is started as a
# program of the loader, so that it runs where the `wineboot` script's 32-bit loader would not.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree,mshtml=d" "$loader" wineboot --init >/dev/null 2>&1
  wineserver -w
fi

# One wineserver for all the runs instead of one started (and lingering) per run; stopped at the
# end, ours only: -k acts on this prefix's server.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The first program of a server also starts Wine's services, which stay for the server's life:
# start them now, with nothing of ours for them to inherit, so no check pays for it.
"$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1

python3 tests/wine/check_under_wine.py "${builds[@]}"
