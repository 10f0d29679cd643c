#!/usr/bin/env bash
# hexmidi against real MIDI stacks in a virtual machine that boots a stock Debian kernel with this
# machine's own root (tests/vm): the ALSA backend against the kernel's sequencer. Builds hexmidi
# as shipped into build-vm/. The kernel package is downloaded once and kept in the user's cache.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh build alsa vm
cmake -S . -B build-vm -DHEXMIDI_WERROR=ON -DHEXMIDI_BUILD_TESTS=OFF >/dev/null
cmake --build build-vm -j "$(nproc)" >/dev/null
tests/vm/run-vm-tests.sh build-vm
