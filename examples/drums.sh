#!/usr/bin/env bash
# A producer: two bars of a rock beat on the General MIDI drum kit, channel 10, in eighth notes.
#   examples/drums.sh | build/hexmidi
#   examples/drums.sh 0.1 | build/hexmidi        # seconds per eighth note
# Channel 10 is status 99 for note on and 89 for note off (the low nibble counts channels from 0).
# One line per eighth note: the hits of the previous step are let go, this step's are struck.
set -euo pipefail
step=${1:-0.15}

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

# The pattern, one character per eighth note: x is a hit.
declare -A pattern=(
  [kick]="x...x.x.x...x.x."
  [snare]="..x...x...x...xx"
  [hat]="xxxxxxxxxxxxxxxx"
)
# General MIDI percussion keys: bass drum 1, acoustic snare, closed hi-hat.
declare -A key_of=([kick]=36 [snare]=38 [hat]=42)
declare -A velocity_of=([kick]=120 [snare]=110 [hat]=70)

# Appends the commands for one step to `line`, without a subshell per message, which under load
# would cost more than a beat.
add_note_offs() {
  local drum command
  for drum in "${struck[@]}"; do
    printf -v command 'm 00%02X89 ' "${key_of[$drum]}"
    line+=$command
  done
}
strike_hits_at() {
  local position=$1 drum command
  struck=()
  for drum in kick snare hat; do
    [ "${pattern[$drum]:position:1}" = x ] || continue
    struck+=("$drum")
    printf -v command 'm %02X%02X99 ' "${velocity_of[$drum]}" "${key_of[$drum]}"
    line+=$command
  done
}

struck=()
for ((position = 0; position < ${#pattern[hat]}; position++)); do
  line=""
  add_note_offs
  strike_hits_at "$position"
  printf '%s\n' "${line% }"
  wait_for_next_beat
done
line=""
add_note_offs
printf '%s\n' "${line% }"
