#!/usr/bin/env bash
# Builds hexmidi and runs every test: installs what is missing, builds with warnings as errors,
# runs the unit and end-to-end tests, then each further step in scripts/test-steps/ in order.
# Each step runs what this machine can run and says what it skipped and why. A step that fails
# does not stop the others; the command ends by naming each failed step and its exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh all
cmake -S . -B build -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

failed=()
for step in scripts/test-steps/*.sh; do
  [ -e "$step" ] || continue
  echo "== ${step##*/}"
  started=$SECONDS
  status=0
  bash "$step" || status=$?
  echo "== ${step##*/}: $([ "$status" -eq 0 ] && echo passed || echo "FAILED, status $status")," \
    "$((SECONDS - started)) s"
  [ "$status" -eq 0 ] || failed+=("${step##*/} (status $status)")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed steps: ${failed[*]}"
  exit 1
fi
echo "all steps passed"
