#!/usr/bin/env bash
# Builds hexmidi and plays an example stream to the first MIDI output port.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
printf 'm 7F3C90\nm 7F4090\nm 7F4390\nl 6 F0 7E 7F 09 01 F7\nm 003C80\nm 004080\nm 004380\n' |
  build/hexmidi
