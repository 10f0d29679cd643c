#!/usr/bin/env bash
# The ALSA sequencer backend against a real kernel sequencer, in a virtual machine: builds
# hexmidi as shipped into build-vm/ and boots it with the cases (tests/alsa_vm). The kernel
# package is downloaded once and kept in build-vm/cache.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh build alsa
cmake -S . -B build-vm -DHEXMIDI_WERROR=ON -DHEXMIDI_BUILD_TESTS=OFF >/dev/null
cmake --build build-vm -j "$(nproc)" >/dev/null
tests/alsa_vm/run-vm-tests.sh build-vm build-vm/hexmidi
