#!/usr/bin/env bash
# Runs check_under_wine.py on the Windows builds under the Wine installed where it runs: this
# machine's (scripts/test-steps/30-wine.sh), or a Debian 13 root's, through tests/roots/in-root.sh
# (scripts/test-steps/25-newer-stacks.sh):
#   run-checks.sh PREFIX [win32=BUILD_DIR] [win64=BUILD_DIR]
# PREFIX is the Wine prefix, made when it is not there yet. A build that cannot run here is
# skipped, saying why: 32-bit programs on a kernel built or booted without 32-bit support, or
# without Wine's 32-bit half installed. The virtual machine runs both builds either way.
set -euo pipefail
prefix=$1
shift

# Which of Wine's loaders runs here. With wine32 installed, `wine` and `wineboot` start through the
# 32-bit loader, and a kernel without 32-bit support refuses it ("Exec format error", status 126):
# there only the 64-bit loader is used, named directly, and only the 64-bit build is checked.
# Debian installs both loaders in its Wine directory; other installs have `wine` alone.
wine32_loader=/usr/lib/wine/wine wine64_loader=/usr/lib/wine/wine64
only64=""
if [ -x "$wine32_loader" ] && "$wine32_loader" --version >/dev/null 2>&1; then
  loader=$wine32_loader
elif [ -x "$wine64_loader" ] && "$wine64_loader" --version >/dev/null 2>&1; then
  loader=$wine64_loader
  if [ -e "$wine32_loader" ]; then
    only64="this kernel runs no 32-bit programs ($wine32_loader fails to start)"
  else
    only64="wine32:i386 is not installed"
  fi
elif command -v wine >/dev/null && wine --version >/dev/null 2>&1; then
  loader=$(command -v wine)
else
  echo "wine checks skipped: no Wine loader starts here (scripts/install-deps.sh wine)"
  exit 0
fi
builds=()
for build in "$@"; do
  if [ -n "$only64" ] && [ "${build%%=*}" = win32 ]; then
    echo "win32 checks skipped: $only64"
  else
    builds+=("$build")
  fi
done
# Wine starts its own further processes (services, wineboot's helpers) through WINELOADER.
export WINELOADER=$loader WINE=$loader
# The 64-bit build through its own loader where there are two: started through the 32-bit one, it
# would run in a process of its own, out of reach of the Ctrl-C check's signal.
if [ "$loader" = "$wine32_loader" ] && [ -x "$wine64_loader" ]; then
  export WINE64=$wine64_loader
fi

# Wine only as the checks need it: no display, none of its debug output, no sound drivers (which
# would complain about a missing ALSA or PulseAudio), and a prefix that is ours alone.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="winealsa.drv,winepulse.drv=d"

# Creating the prefix takes seconds and prints Wine's own messages: a step of its own, done once,
# beside its place, so that one cut short is never taken for complete. Mono and Gecko are left
# out, as nothing here needs .NET or a browser. wineboot is started as a program of the loader, so
# that it runs where the `wineboot` script's 32-bit loader would not. It is made with Wine's ALSA
# driver, as the virtual machine makes it, so that a root's prefix serves the machine too: made
# without it, the machine's first run through the driver took 20 s longer under emulation.
if [ ! -f "$prefix/system.reg" ]; then
  rm -rf "$prefix.new"
  WINEPREFIX=$prefix.new WINEDLLOVERRIDES="winepulse.drv=d;mscoree,mshtml=d" \
    "$loader" wineboot --init >/dev/null 2>&1
  WINEPREFIX=$prefix.new wineserver -w
  rm -rf "$prefix"
  mv "$prefix.new" "$prefix"
fi
export WINEPREFIX=$prefix

# One wineserver for all the runs instead of one started (and lingering) per run; stopped at the
# end, ours only: -k acts on this prefix's server.
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The first program of a server also starts Wine's services, which stay for the server's life:
# start them now, with nothing of ours for them to inherit, so no check pays for it.
"$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1

python3 "$(dirname "$0")/check_under_wine.py" "${builds[@]}"
