#!/usr/bin/env bash
# Builds the benchmarks, runs them all and fills in the tables of docs/performance.md and its two
# pictures beside it: six to seven minutes once built and with Debian 13's roots cached
# (tests/roots/make-root.sh). Extra arguments go to bench/run_benchmarks.py:
#   scripts/run-benchmarks.sh --repetitions 3
#   scripts/run-benchmarks.sh --no-jack
#   scripts/run-benchmarks.sh --no-vm      (without the ALSA figures from the virtual machine)
#   scripts/run-benchmarks.sh --only one-note   (that section alone, in seconds)
#   scripts/run-benchmarks.sh --only pipewire   (PipeWire's versions beside jackd's, in a minute)
#   scripts/run-benchmarks.sh --only engines    (netjack2 and RTP-MIDI beside jackd alone, a minute)
#
# The JACK servers it starts live in a /dev/shm and IPC namespace of their own where it can make
# one (as root): JACK keeps one registry of servers for the whole machine, eight at most, and
# benchmarks running beside tests would otherwise take places the tests need and meet their
# servers' load.
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-bench"

# What the virtual machine of the ALSA figures needs, as the tests' step installs it, and what
# makes the Debian 13 roots of PipeWire's versions.
scripts/install-deps.sh build bench alsa vm stacks
# The tests are not built here: the benchmarks build what they need of them from source, and a
# test that fails to build must not stop the figures. The build type is the project's default, so
# that the figures are those of the program as it is usually built.
cmake -S . -B "$build" -DHEXMIDI_BUILD_BENCHMARKS=ON -DHEXMIDI_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

# Debian's python3, for which its python3-matplotlib is installed, whatever else is first on PATH.
run=(/usr/bin/python3 -B bench/run_benchmarks.py "$build" docs/performance.md "$@")
if [ "$(id -u)" -eq 0 ] && unshare --mount --ipc --propagation private true 2>/dev/null; then
  unshare --mount --ipc --propagation private sh -c \
    'mount -t tmpfs -o size=1g,mode=1777 tmpfs /dev/shm && HEXMIDI_BENCH_PRIVATE_SHM=1 exec "$@"' \
    sh "${run[@]}"
else
  echo "run-benchmarks: no private namespace (not root?); JACK servers share the machine's" >&2
  "${run[@]}"
fi
