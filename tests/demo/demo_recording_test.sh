#!/usr/bin/env bash
# The demo end to end: its recording is silent before the first note and holds sound in the time
# of each example that makes any, its spectrogram is a PNG picture, and nothing it started is
# left running.
#   demo_recording_test.sh HEXMIDI OUT_DIRECTORY
set -euo pipefail
hexmidi=$1
out=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
skip=77

for tool in jackd jack_rec fluidsynth sox; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh demo)"
    exit "$skip"
  fi
done
if [ ! -r /usr/share/sounds/sf2/TimGM6mb.sf2 ]; then
  echo "SKIP: the General MIDI soundfont is not installed (timgm6mb-soundfont)"
  exit "$skip"
fi

rm -rf "$out"
"$root/scripts/demo/play-examples.sh" --record --hexmidi "$hexmidi" --out "$out" &
demo_pid=$!
wait "$demo_pid"
wav="$out/hexmidi-demo.wav"
png="$out/hexmidi-demo.png"
times="$out/hexmidi-demo-times.txt"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# One figure of sox's statistics for the stretch of the recording from START lasting LENGTH.
measure() {
  local figure=$1 start=$2 length=$3
  sox "$wav" -n trim "$start" "$length" stat 2>&1 | awk -v figure="$figure" \
    '$0 ~ "^" figure " +amplitude" { print $NF }'
}
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

# Silence is digital zero: nothing but the synthesizer writes into the recording. Sound is well
# above the quietest note of the examples, a hi-hat's tail or a released bell.
silent=0.0001
audible=0.005
# What is heard comes a little after a producer starts: hexmidi must connect first, and JACK
# adds a period or two; a released note rings on after its producer ends.
onset=0.3
ring=0.5

first_note=$(awk '$1 == "scale" { print $2 }' "$times")
[ -n "$first_note" ] || fail "the demo noted no start for the scale"
peak=$(measure Maximum 0 "${first_note:-1}")
below "$peak" "$silent" || fail "the recording is not silent before the first note: peak $peak"

while read -r name started ended; do
  # A General MIDI System On sounds no note.
  [ "$name" = gm-system-on ] && continue
  level=$(measure RMS "$(awk -v s="$started" -v o="$onset" 'BEGIN { print s + o }')" \
    "$(awk -v s="$started" -v e="$ended" -v o="$onset" -v r="$ring" 'BEGIN { print e + r - s - o }')")
  below "$level" "$audible" && fail "$name is not heard: RMS $level from ${started}s to ${ended}s"
  echo "$name: RMS $level"
done <"$times"

if [ "$(head -c 8 "$png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" != 89504e470d0a1a0a ]; then
  fail "the spectrogram $png is not a PNG"
fi

# The server and the synthesizer carry the demo's process id in the server's name, the recorder
# the WAV's path.
left=$(pgrep -a -f "hexmidi-demo-$demo_pid-|$wav" || true)
[ -z "$left" ] || fail "the demo left running: $left"

[ "$failures" -eq 0 ] || exit 1
echo "the demo's recording and spectrogram are as they should be"
