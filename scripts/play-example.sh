#!/usr/bin/env bash
# The demo: installs what is missing, builds hexmidi and plays examples/ through it. On a machine
# with no MIDI output port it plays them to a private synthesizer instead, and leaves a WAV of
# what it played and a PNG of its spectrogram in build/demo/ (it says where).
#   scripts/play-example.sh              # as above
#   scripts/play-example.sh --record     # through the private synthesizer even when a port exists
# HEXMIDI_BUILD_DIR names another build directory than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${HEXMIDI_BUILD_DIR:-build}
# The default build configures the tests too, so their packages come along.
scripts/install-deps.sh build test demo
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target hexmidi -j "$(nproc)" >/dev/null
exec scripts/demo/play-examples.sh --hexmidi "$build/hexmidi" --out "$build/demo" "$@"
