#!/usr/bin/env bash
# Runs the end-to-end and robustness tests over and over on a crowded machine, to find the
# failures that one run of the test command is too short to show:
#
#   scripts/soak.sh [rounds] [busy loops per core]        (defaults: 8 rounds, 1 loop per core)
#
# Each round runs those tests in the Release build (build/) and in the sanitizer build
# (build-asan/) at the same time, while the busy loops run beside them. Every failure's output is
# kept in the directory named at the start (the ctest log of that build and round, and any
# sanitizer report); the end prints how many runs failed, and which tests, and how many runs the
# tests played again because the server lost what they sent (each is kept in replays.txt). The
# defaults take about 20 minutes on two cores. The builds are made first if they are missing, as
# the test command makes them. Everything started here is stopped by its process id at the end,
# also when the soak is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-8}
load=${2:-1}
jobs=$(nproc)
out=$PWD/build/soak-$(date -u +%Y%m%d-%H%M%S)

for build in build build-asan; do
  sanitize=$([ "$build" = build-asan ] && echo ON || echo OFF)
  cmake -S . -B "$build" -DHEXMIDI_SANITIZE="$sanitize" -DHEXMIDI_WERROR=ON >/dev/null
  cmake --build "$build" -j "$jobs" >/dev/null
done
mkdir -p "$out"
echo "soak: $rounds rounds of the e2e and robustness tests, in build and build-asan at once," \
  "beside $((load * jobs)) busy loops; failures kept in $out"

started=()  # process ids (each a process group's leader) of everything this script started
stop_started() {
  local pid
  for pid in "${started[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  started=()
}
trap stop_started EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for ((i = 0; i < load * jobs; i++)); do
  setsid bash -c 'while :; do :; done' &
  started+=($!)
done

# The sanitizer step's settings (scripts/test-steps/10-sanitizers.sh), with the reports of each
# round in a directory of their own.
sanitizer_env() {  # REPORTS
  echo "ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:log_path=$1/asan" \
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$1/ubsan" \
    "LSAN_OPTIONS=suppressions=$PWD/scripts/test-steps/lsan-suppressions.txt:print_suppressions=0"
}

runs=0 failures=0 begun=$SECONDS
declare -A failed_tests=()
for ((round = 1; round <= rounds; round++)); do
  pids=() logs=()
  for build in build build-asan; do
    log=$out/round$round-$build.log reports=$out/round$round-$build-reports
    mkdir -p "$reports"
    environment=()
    [ "$build" = build-asan ] && read -ra environment <<<"$(sanitizer_env "$reports")"
    setsid env "${environment[@]}" HEXMIDI_REPLAY_LOG="$out/replays.txt" \
      ctest --test-dir "$build" -L 'e2e|robustness' \
      --output-on-failure -j "$jobs" >"$log" 2>&1 &
    pids+=($!) logs+=("$log")
    started+=($!)
  done
  for i in 0 1; do
    status=0
    wait "${pids[$i]}" || status=$?
    log=${logs[$i]} reports=${logs[$i]%.log}-reports
    runs=$((runs + 1))
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$reports")" ]; then
      failures=$((failures + 1))
      while read -r name; do
        failed_tests[$name]=$((${failed_tests[$name]:-0} + 1))
      done < <(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log")
      [ -n "$(ls -A "$reports")" ] && failed_tests[sanitizer-report]=$((${failed_tests[sanitizer-report]:-0} + 1))
      echo "round $round, ${log##*round$round-}: FAILED (status $status), kept in $log"
    else
      rm -rf "$log" "$reports"
    fi
  done
  started=("${started[@]:0:$((load * jobs))}")
  echo "round $round of $rounds done, $(((SECONDS - begun) / 60)) min, $failures failed runs so far"
done

echo "soak: $failures of $runs runs failed ($rounds rounds, 2 builds, $((load * jobs)) busy" \
  "loops, $(((SECONDS - begun) / 60)) min); the tests played again $(cat "$out/replays.txt" \
  2>/dev/null | wc -l) times"
for name in "${!failed_tests[@]}"; do echo "  ${failed_tests[$name]}x $name"; done
[ "$failures" -eq 0 ] && [ ! -s "$out/replays.txt" ] && rm -rf "$out"
[ "$failures" -eq 0 ]
