#!/usr/bin/env bash
# A short, fixed-time fuzzing run of the command stream (see scripts/fuzz-long.sh for the long one).
set -euo pipefail
cd "$(dirname "$0")/../.."
exec scripts/fuzz-long.sh -max_total_time=45
