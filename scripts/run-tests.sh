#!/usr/bin/env bash
# Builds hexmidi and runs every test: installs what is missing, builds with warnings as errors,
# runs the unit and end-to-end tests, then each further step in scripts/test-steps/ in order.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh all
cmake -S . -B build -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

for step in scripts/test-steps/*.sh; do
  [ -e "$step" ] || continue
  echo "== ${step##*/}"
  bash "$step"
done
