#!/usr/bin/env bash
# A producer: the C major scale up and back down on a piano, one line every quarter second.
#   examples/scale.sh | build/hexmidi
#   examples/scale.sh 0.1 | build/hexmidi        # seconds per note
# hexmidi keeps no clock and plays each line the moment it arrives, so the rhythm is made here,
# by the sleep between lines. Each line lets the previous note go and strikes the next one; bash's
# printf writes the line at once, so nothing sits in a buffer.
set -euo pipefail
step=${1:-0.25}

# Beats fall on a fixed grid: each sleep lasts until the next beat, so the time it takes to write
# a line never adds up over the pattern.
step_us=$(awk -v s="$step" 'BEGIN { printf "%d", s * 1000000 }')
beat_us=${EPOCHREALTIME/[.,]/}
wait_for_next_beat() {
  beat_us=$((beat_us + step_us))
  local left=$((beat_us - ${EPOCHREALTIME/[.,]/})) pause
  ((left > 0)) || return 0
  printf -v pause '%d.%06d' $((left / 1000000)) $((left % 1000000))
  sleep "$pause"
}

# Note on, channel 1: status 90, then key and velocity. A packed short message puts its first
# byte lowest, so note on of key 3C at velocity 64 is written 643C90.
keys=(60 62 64 65 67 69 71 72 71 69 67 65 64 62 60)
velocity=100
previous=""
for key in "${keys[@]}"; do
  line=""
  # Note off, channel 1: status 80, velocity 0.
  [ -z "$previous" ] || printf -v line 'm 00%02X80 ' "$previous"
  printf '%sm %02X%02X90\n' "$line" "$velocity" "$key"
  previous=$key
  wait_for_next_beat
done
printf 'm 00%02X80\n' "$previous"
