#!/usr/bin/env bash
# Builds hexmidi and runs every test: installs what is missing, builds with warnings as errors,
# runs the unit and end-to-end tests (ctest), then each further step in scripts/test-steps/.
# Each step runs what this machine can run and says what it skipped and why. A step that fails
# does not stop the others; the command ends by naming each failed step and its exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh all
cmake -S . -B build -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build -j "$jobs"

failed=()
run_step() {  # NAME COMMAND...
  echo "== $1"
  local started=$SECONDS status=0
  "${@:2}" || status=$?
  echo "== $1: $([ "$status" -eq 0 ] && echo passed || echo "FAILED, status $status")," \
    "$((SECONDS - started)) s"
  [ "$status" -eq 0 ] || failed+=("$1 (status $status)")
}
run_step ctest ctest --test-dir build --output-on-failure -j "$jobs"
for step in scripts/test-steps/*.sh; do
  [ -e "$step" ] || continue
  run_step "${step##*/}" bash "$step"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed steps: ${failed[*]}"
  exit 1
fi
echo "all steps passed"
