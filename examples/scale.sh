#!/usr/bin/env bash
# A producer: the C major scale up and back down on a piano, one line every quarter second.
#   examples/scale.sh | build/hexmidi
#   examples/scale.sh 0.1 | build/hexmidi        # seconds per note
# hexmidi keeps no clock and plays each line the moment it arrives, so the rhythm is made here,
# by the sleep between lines. Each line lets the previous note go and strikes the next one; bash's
# printf writes the line at once, so nothing sits in a buffer.
set -euo pipefail
step=${1:-0.25}

# Note on, channel 1: status 90, then key and velocity. A packed short message puts its first
# byte lowest, so note on of key 3C at velocity 64 is written 643C90.
note_on() { printf 'm %02X%02X90' 100 "$1"; }
# Note off, channel 1: status 80, velocity 0.
note_off() { printf 'm 00%02X80' "$1"; }

keys=(60 62 64 65 67 69 71 72 71 69 67 65 64 62 60)
previous=""
for key in "${keys[@]}"; do
  line=""
  [ -n "$previous" ] && line="$(note_off "$previous") "
  printf '%s%s\n' "$line" "$(note_on "$key")"
  previous=$key
  sleep "$step"
done
printf '%s\n' "$(note_off "$previous")"
