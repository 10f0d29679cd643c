#!/usr/bin/env bash
# The whole ctest suite again (unit, end-to-end, robustness), with everything built under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan.
#
# Any report fails the test it happens in: the sanitizers end the process with status 1 on the
# first error, which no test takes for a good end. hexmidi points its standard error at /dev/null
# before anything else runs (so that no library can print), so the reports go to files instead,
# under build-asan/sanitizer-reports, and this step prints them and fails if there are any. Leak
# checking stays on. The one suppression (lsan-suppressions.txt) is for Berkeley DB, which libjack
# uses and we never call: nothing libjack or libasound allocates has shown as a leak, and a
# suppression of either would hide our own leaks through them as well.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)

cmake -S . -B build-asan -DHEXMIDI_SANITIZE=ON -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"

reports=$PWD/build-asan/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:log_path=$reports/asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
export LSAN_OPTIONS=suppressions=$PWD/scripts/test-steps/lsan-suppressions.txt:print_suppressions=0
status=0
ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=$?
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "sanitizer report $report:"
  cat "$report"
  status=1
done
exit "$status"
