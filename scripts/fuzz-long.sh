#!/usr/bin/env bash
# Fuzzes the command stream for a long time: by default until 10 million inputs have run, the
# number a release should reach with no finding. The short run of the test suite
# (scripts/test-steps/40-fuzz.sh) uses this same script with a time limit instead.
#   scripts/fuzz-long.sh                    # 10 million runs, about 10 minutes on one free core
#   scripts/fuzz-long.sh -runs=50000000     # any other libFuzzer flag is passed on
#   scripts/fuzz-long.sh -max_total_time=45
#
# The corpus it grows is kept in build-fuzz/corpus, so each run starts where the last one ended;
# the seeds (fuzz/corpus) and every input ever found (fuzz/regressions) are read, never written.
# A finding is written to build-fuzz/findings/ and ends the run with a failure: keep the input as
# a regression test by copying it into fuzz/regressions/, where the ordinary test suite replays it.
#
# Limits, and why:
#   -malloc_limit_mb=2048  libFuzzer reports any single block above this as running out of
#                          memory. The program's largest legitimate block is the buffer of the
#                          largest count, 7FFFFFFF bytes, one byte under 2048 MB, so the limit must
#                          not fall below that, whatever the RSS limit (which it follows if unset).
#                          The fuzz target refuses buffers longer than its input, so in practice
#                          no block of that size is ever taken.
#   -rss_limit_mb=2048     the target keeps only counts of the calls, so memory stays flat; a run
#                          that grows past this is a leak worth a finding.
#   -timeout=10            one input of a few kB that takes 10 s is a hang.
#   -max_len=8192          room for long messages of a few thousand bytes.
#   -dict                  the stream's tokens: without them, and without seeds of long messages
#                          a few hundred and a few thousand bytes long, the fuzzer seldom builds
#                          a message of more than a few dozen well-formed fields.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++-14 >/dev/null; then
  echo "skipped: fuzzing needs clang++-14 and libclang-rt-14-dev (scripts/install-deps.sh robustness)"
  exit 0
fi
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DHEXMIDI_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" >/dev/null

mkdir -p build-fuzz/corpus build-fuzz/findings
limit=(-runs=10000000)
for flag in "$@"; do
  case "$flag" in -runs=* | -max_total_time=*) limit=() ;; esac
done
status=0
build-fuzz/command_stream_fuzzer "${limit[@]}" -malloc_limit_mb=2048 -rss_limit_mb=2048 \
  -timeout=10 -max_len=8192 -dict=fuzz/command_stream.dict -print_final_stats=1 \
  -artifact_prefix=build-fuzz/findings/ "$@" \
  build-fuzz/corpus fuzz/corpus fuzz/regressions >build-fuzz/fuzz.log 2>&1 || status=$?
# The figures: how many inputs ran, how fast, and how much coverage the corpus reached.
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|DONE' \
  build-fuzz/fuzz.log || true
if [ "$status" -ne 0 ]; then
  tail -n 60 build-fuzz/fuzz.log
  echo "fuzzing found a fault: keep the input from build-fuzz/findings/ in fuzz/regressions/" >&2
fi
exit "$status"
