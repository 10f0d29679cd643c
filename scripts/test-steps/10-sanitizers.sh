#!/usr/bin/env bash
# The whole ctest suite again (unit, end-to-end, robustness), with everything built under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan.
#
# Any report fails the test it happens in: the sanitizers abort on the first error, and the
# end-to-end tests already fail on any byte the program writes to stderr, where a report would
# go. Leak checking stays on, with no suppressions: nothing libjack or libasound allocates has
# shown as a leak, and a suppression would hide our own leaks through them as well.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)

cmake -S . -B build-asan -DHEXMIDI_SANITIZE=ON -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j "$jobs"
