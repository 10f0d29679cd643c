#!/usr/bin/env bash
# Plays every example in examples/ through hexmidi, one after another, as a person would type
# them. Where the machine has no MIDI output port that makes sound (or with --record), it first
# starts a private synthesizer for the demo's length, records what it plays to a WAV file and
# draws the recording's spectrogram to a PNG.
#
#   scripts/demo/play-examples.sh [--hexmidi PROGRAM] [--out DIRECTORY] [--record]
#
# PROGRAM defaults to build/hexmidi and DIRECTORY, where the WAV and PNG go, to build/demo.
# Besides the two files it writes hexmidi-demo-times.txt: when each example started and ended,
# in seconds from the start of the recording.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here="$root/scripts/demo"
# shellcheck source=midi-output-port.sh
source "$here/midi-output-port.sh"
# shellcheck source=private-synth.sh
source "$here/private-synth.sh"

hexmidi="$root/build/hexmidi"
out="$root/build/demo"
record=no
while [ $# -gt 0 ]; do
  case "$1" in
    --hexmidi) hexmidi=$(realpath "$2"); shift 2 ;;
    --out) out=$2; shift 2 ;;
    --record) record=yes; shift ;;
    *) echo "usage: $0 [--hexmidi PROGRAM] [--out DIRECTORY] [--record]" >&2; exit 2 ;;
  esac
done
examples="$root/examples"

# The demo's plan: a second of silence, so that the recording shows where the sound begins, then
# each example, then time for the last chord to ring out. Each example keeps its own time; the
# recording lasts as long as they take, up to a limit that only a stuck example reaches.
lead_seconds=1
tail_seconds=2
longest_recording_seconds=120

recording_start=""
times_file=""

# EPOCHREALTIME with a point, whatever the locale's decimal separator.
now() { echo "${EPOCHREALTIME/,/.}"; }

seconds_since_start() {
  awk -v now="$(now)" -v start="$recording_start" 'BEGIN { printf "%.3f", now - start }'
}

# Plays one example and notes when it started and ended, when a recording runs.
play() {
  local name=$1
  shift
  local started=""
  [ -z "$times_file" ] || started=$(seconds_since_start)
  echo "demo: playing $name"
  "$@"
  [ -z "$times_file" ] || echo "$name $started $(seconds_since_start)" >>"$times_file"
}

from_producer() { "$1" | "$hexmidi"; }

play_examples() {
  play gm-system-on "$hexmidi" <"$examples/gm-system-on.txt"
  play scale from_producer "$examples/scale.sh"
  sleep 0.3
  play chords from_producer "$examples/chords.py"
  sleep 0.3
  play drums from_producer "$examples/drums.sh"
  sleep 0.3
  play chime "$hexmidi" <"$examples/chime.txt"
}

if [ "$record" = no ] && machine_has_midi_output_port "$hexmidi"; then
  play_examples
  echo "demo: played to this machine's first MIDI output port (--record makes a WAV instead)"
  exit 0
fi

missing_tools=$(missing_synth_tools)
if [ -n "$missing_tools" ]; then
  echo "demo: the private synthesizer needs: $missing_tools (scripts/install-deps.sh demo)" >&2
  exit 1
fi

# The private synthesizer listens on JACK MIDI only. grep reads the whole of ldd's list rather
# than quitting at the first match (-q): ldd writes a line at a time, so on a busy machine its
# later lines met a closed pipe, ldd died of SIGPIPE, and pipefail turned the match into "no".
if command -v ldd >/dev/null && ! ldd "$hexmidi" | grep libjack >/dev/null; then
  echo "demo: $hexmidi was built without its JACK backend, which the private synthesizer needs" >&2
  exit 1
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
wav="$out/hexmidi-demo.wav"
png="$out/hexmidi-demo.png"
times_file="$out/hexmidi-demo-times.txt"
rm -f "$wav" "$png" "$times_file"
work=$(mktemp -d)

finish() {
  local status=$?
  stop_private_synth
  if [ "$status" -ne 0 ]; then
    for log in "$work"/*.log; do
      [ -s "$log" ] && { echo "--- ${log##*/}"; tail -n 20 "$log"; } >&2
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

if [ "$record" = yes ]; then
  echo "demo: recording through a private synthesizer"
else
  echo "demo: no MIDI output port here, so a private synthesizer plays instead"
fi
start_private_synth "$work"
start_recording "$wav" "$longest_recording_seconds" "$work"
recording_start=$(now)
sleep "$lead_seconds"
play_examples
sleep "$tail_seconds"
if ! stop_recording; then
  echo "demo: the recording stopped before the examples ended" >&2
  exit 1
fi

sox "$wav" -n remix - rate 16k spectrogram -x 1200 -y 480 -z 90 \
  -t "hexmidi examples: GM System On, scale, chords, drums, chime" -c "" -o "$png"
echo "demo: the sound is in   $wav"
echo "demo: its spectrogram:  $png"
