#!/usr/bin/env bash
# A producer: two bars of a rock beat on the General MIDI drum kit, channel 10, in eighth notes.
#   examples/drums.sh | build/hexmidi
#   examples/drums.sh 0.1 | build/hexmidi        # seconds per eighth note
# Channel 10 is status 99 for note on and 89 for note off (the low nibble counts channels from 0).
# One line per eighth note: the hits of the previous step are let go, this step's are struck.
set -euo pipefail
step=${1:-0.15}

# The pattern, one character per eighth note: x is a hit.
kick="x...x.x.x...x.x."
snare="..x...x...x...xx"
hat="xxxxxxxxxxxxxxxx"
# General MIDI percussion keys: bass drum 1, acoustic snare, closed hi-hat.
declare -A key_of=([kick]=36 [snare]=38 [hat]=42)
declare -A velocity_of=([kick]=120 [snare]=110 [hat]=70)

hits_at() {
  local position=$1 drum
  for drum in kick snare hat; do
    [ "${!drum:position:1}" = x ] && printf '%s ' "$drum"
  done
  return 0
}

previous=()
for ((position = 0; position < ${#hat}; position++)); do
  line=""
  for drum in "${previous[@]}"; do line+=$(printf 'm 00%02X89 ' "${key_of[$drum]}"); done
  read -r -a previous <<<"$(hits_at "$position")"
  for drum in "${previous[@]}"; do
    line+=$(printf 'm %02X%02X99 ' "${velocity_of[$drum]}" "${key_of[$drum]}")
  done
  printf '%s\n' "${line% }"
  sleep "$step"
done
line=""
for drum in "${previous[@]}"; do line+=$(printf 'm 00%02X89 ' "${key_of[$drum]}"); done
printf '%s\n' "${line% }"
