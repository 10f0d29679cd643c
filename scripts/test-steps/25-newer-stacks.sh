#!/usr/bin/env bash
# hexmidi against the MIDI stacks of Debian 13, which most users run, beside Debian 12's that the
# other steps test: the end-to-end tests listed below, under each root's own servers; the Windows
# builds under its Wine 10; and the virtual machine booting that root, for Wine 10's winmm and
# WirePlumber 0.5's Midi-Bridge on a real kernel sequencer. Two roots, made with debootstrap from
# Debian's packages and cached outside the clone (tests/roots/make-root.sh): trixie (PipeWire 1.4)
# and the same with PipeWire from trixie-backports (1.6); the binaries built here run inside them
# (tests/roots/in-root.sh). Skips, and says why, where the roots cannot be made.
set -euo pipefail
cd "$(dirname "$0")/../.."

# The end-to-end tests run again, by unittest id (tests/e2e): in the trixie root under its jackd2
# (1.9.22), netjack2 between two of them, and its PipeWire (1.4); in the backports root under its
# PipeWire alone (1.6), since its jackd2 is the trixie root's; in both, RTP-MIDI between two of its
# PipeWire daemons (this machine's 0.3.65 carries no MIDI over RTP). Each test plays its table's
# rows on those servers.
e2e_tests=(
  message_volume_test.MessageVolume
  long_messages_test.LongMessages.test_large_messages_arrive_whole_between_the_messages_around_them
  long_messages_test.LongMessages.test_a_stream_of_small_long_messages_arrives_whole_and_in_order
  short_messages_test.OneShotRuns.test_under_pipewire
  short_messages_test.OneShotRuns.test_under_netjack
  short_messages_test.OneShotRuns.test_under_rtp
  device_zero_test.DeviceZero
  stop_signals_test.SoundingNotes
)
declare -A root_servers=([trixie]=jackd,netjack,pipewire,rtp [backports]=pipewire,rtp)

# Not Wine's list: this machine's Wine is not what runs here, and its 32-bit half, which a mirror
# caught mid-sync may refuse, would be tried again each time.
scripts/install-deps.sh build e2e vm stacks
for tool in debootstrap unshare; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is missing (scripts/install-deps.sh stacks)"
    exit 0
  fi
done
cmake -S . -B build -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
cache=${XDG_CACHE_HOME:-$HOME/.cache}/hexmidi
declare -A roots=()
for flavour in trixie backports; do
  if roots[$flavour]=$(tests/roots/make-root.sh "$flavour" 2>build/roots.err); then
    echo "$flavour root: $(dpkg-query --admindir="${roots[$flavour]}/var/lib/dpkg" -W \
      -f '${Package} ${Version}, ' pipewire wireplumber jackd2 wine | sed 's/, $//')"
  else
    echo "skipped: the $flavour root: $(tail -n 1 build/roots.err)"
    unset "roots[$flavour]"
  fi
done
[ -n "${roots[trixie]:-}" ] || exit 0

logs=$PWD/build/newer-stacks
rm -rf "$logs"
mkdir -p "$logs"
passed=0 failed=0
# A run in a root, its output in a log shown only when it fails.
run() {  # NAME ROOT COMMAND...
  local started=$SECONDS status=0
  tests/roots/in-root.sh -b "$cache" "$2" timeout 600 "${@:3}" > "$logs/$1.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok   $1 ($((SECONDS - started)) s)"
  else
    echo "FAIL $1: status $status after $((SECONDS - started)) s; its output:"
    sed 's/^/  /' "$logs/$1.log"
    failed=$((failed + 1))
  fi
}

# As ctest gives them to tests/e2e's files (tests/e2e/CMakeLists.txt).
e2e=(env HEXMIDI_BINARY="$PWD/build/hexmidi"
  HEXMIDI_JACK_RECORDER="$PWD/build/tests/e2e/jack_recorder"
  HEXMIDI_RESET_CLIENT="$PWD/build/tests/e2e/long_message_reset_client"
  PYTHONPATH="$PWD/tests/e2e" python3 -B -m unittest)
for flavour in trixie backports; do
  [ -n "${roots[$flavour]:-}" ] || continue
  run "$flavour end-to-end tests (${root_servers[$flavour]})" "${roots[$flavour]}" \
    env HEXMIDI_E2E_SERVERS="${root_servers[$flavour]}" "${e2e[@]:1}" "${e2e_tests[@]}"
done

# Both Windows builds, as the Wine step makes them, under the trixie root's Wine (the same in
# both roots), in a prefix kept in the cache for that Wine: made here, where this machine runs
# 32-bit programs, it is the one the virtual machine would make, and under the same key.
builds=() exes=()
for target in win32:i686 win64:x86_64; do
  arch=${target%%:*} cpu=${target#*:}
  if ! command -v "$cpu-w64-mingw32-g++" >/dev/null; then
    echo "$arch under Wine 10 skipped: $cpu-w64-mingw32-g++ is missing (install-deps.sh wine)"
    continue
  fi
  cmake -S . -B "build-$arch" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$cpu.cmake" -DHEXMIDI_WERROR=ON >/dev/null
  cmake --build "build-$arch" -j "$(nproc)" >/dev/null
  rm -f "build-$arch"/hexmidi-*.zip
  (cd "build-$arch" && cpack -G ZIP >/dev/null)
  builds+=("$arch=build-$arch") exes+=("$arch=build-$arch/hexmidi.exe")
done
wine_key=$(tests/vm/wine-key.sh "${roots[trixie]}")
tests/roots/in-root.sh "${roots[trixie]}" /usr/lib/wine/wine --version >/dev/null 2>&1 ||
  wine_key=${wine_key%-64}-64
if [ ${#builds[@]} -gt 0 ]; then
  run "trixie Wine checks" "${roots[trixie]}" tests/wine/run-checks.sh \
    "$cache/wine-prefix-$wine_key" "${builds[@]}"
  sed -n 's/^\(win32 checks skipped.*\)/  \1/p; s/^\([0-9]* passed, [0-9]* failed\)$/  Wine: \1/p' \
    "$logs/trixie Wine checks.log"
fi

# The virtual machine booting the trixie root, on the cases of Wine and PipeWire.
cmake -S . -B build-vm -DHEXMIDI_WERROR=ON -DHEXMIDI_BUILD_TESTS=OFF >/dev/null
cmake --build build-vm -j "$(nproc)" >/dev/null
echo "roots: $passed passed, $failed failed"
HEXMIDI_VM_ROOT=${roots[trixie]} HEXMIDI_VM_CASES='[23]0-*' \
  tests/vm/run-vm-tests.sh build-vm "${exes[@]}" || failed=$((failed + 1))
[ "$failed" -eq 0 ]
