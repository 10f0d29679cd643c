# shellcheck shell=bash
# Sourced by the demo: a private JACK server with a software synthesizer on it, and a recorder
# of the synthesizer's audio. Everything is started here for the demo's length only and stopped
# by the process ids kept below; nothing else is touched.
#
# The server runs the dummy driver, which keeps time without a sound card, so the demo works
# on a machine with no audio at all; the sound reaches us through the recording alone.
# fluidsynth is the synthesizer because Debian ships it with a General MIDI soundfont and it
# speaks JACK MIDI natively; jack_rec, which comes with the JACK tools, writes the WAV.

soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
synth_client=synth
sample_rate=44100

server_pid=""
synth_pid=""
recorder_pid=""
recording_wav=""

missing_synth_tools() {
  local tool missing=()
  for tool in jackd jack_wait jack_lsp jack_rec fluidsynth sox; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ -r "$soundfont" ] || missing+=("$soundfont")
  echo "${missing[*]}"
}

# Polls until `jack_lsp` lists the port, for up to ten seconds (a loaded machine is slow to load
# a soundfont).
wait_for_jack_port() {
  local port=$1 tries
  for ((tries = 0; tries < 100; tries++)); do
    jack_lsp 2>/dev/null | grep -xF "$port" >/dev/null && return 0
    sleep 0.1
  done
  echo "demo: $port did not appear on JACK server $JACK_DEFAULT_SERVER" >&2
  return 1
}

# Starts the server, trying again for a while when the machine is out of JACK servers: libjack
# has room for only eight at once, and tests running side by side may hold them all.
start_server() {
  local log=$1 attempt waited
  for ((attempt = 0; attempt < 30; attempt++)); do
    jackd --name "$JACK_DEFAULT_SERVER" -d dummy --rate "$sample_rate" --period 512 >"$log" 2>&1 &
    server_pid=$!
    for ((waited = 0; waited < 50; waited++)); do
      [ "$(jack_wait --check 2>/dev/null)" = running ] && return 0
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_process "$server_pid"
    server_pid=""
    grep -q "Too many servers" "$log" || break
    sleep 1
  done
  echo "demo: the private JACK server did not start" >&2
  return 1
}

# Starts the server and the synthesizer. The server's name is unique to this run, so that
# several demos (or tests) can run side by side; every JACK client started from here on, hexmidi
# included, reaches it through JACK_DEFAULT_SERVER, and none may start a server of its own.
start_private_synth() {
  local work=$1
  export JACK_DEFAULT_SERVER="hexmidi-demo-$$-$RANDOM"
  export JACK_NO_START_SERVER=1
  start_server "$work/jackd.log" || return 1

  # fluidsynth has no way to run without a shell or a file to play other than its network
  # server, which would need a free TCP port; so its shell reads a FIFO that we hold open and
  # never write to. Its audio and MIDI ports share one client, $synth_client.
  mkfifo "$work/synth-commands"
  exec {synth_commands}<>"$work/synth-commands"
  fluidsynth --audio-driver=jack --midi-driver=jack --gain=0.5 \
    -o audio.jack.id="$synth_client" -o midi.jack.id="$synth_client" \
    -o audio.jack.server="$JACK_DEFAULT_SERVER" -o midi.jack.server="$JACK_DEFAULT_SERVER" \
    "$soundfont" <&"$synth_commands" >"$work/fluidsynth.log" 2>&1 &
  synth_pid=$!
  wait_for_jack_port "$synth_client:midi_00" && wait_for_jack_port "$synth_client:right"
}

# Records both of the synthesizer's outputs until stop_recording, for at most SECONDS. The length
# is not fixed in advance: on a busy machine the examples take longer than planned, and a
# recording that ended on schedule would miss the last of them.
start_recording() {
  local wav=$1 seconds=$2 work=$3
  recording_wav=$wav
  # jack_rec's disk thread runs at normal priority: on a crowded machine it fell behind its ring
  # (16384 frames, a third of a second) and dropped what overflowed, so that what came later
  # landed earlier in the file than its time: a note in the second of silence before it, a chime
  # missed where it was played. Half a minute of ring (10 MB) is more than a machine ever kept
  # that thread waiting.
  jack_rec -f "$wav" -d "$seconds" -B "$((sample_rate * 30))" \
    "$synth_client:left" "$synth_client:right" >"$work/jack_rec.log" 2>&1 &
  recorder_pid=$!
  wait_for_jack_port jackrec:input2
}

# Stops the recorder, and mends the file it leaves. jack_rec writes the WAV's lengths only when
# its time is up, so one stopped by a signal leaves them at zero; its samples are all there,
# and sox, told to ignore the lengths, reads them and writes the file anew. False when the
# recorder had already stopped by itself (its time ran out, or it failed).
stop_recording() {
  local status=0
  kill -0 "$recorder_pid" 2>/dev/null || status=1
  stop_process "$recorder_pid"
  recorder_pid=""
  [ "$status" -eq 0 ] || return 1
  sox --ignore-length "$recording_wav" "$recording_wav.mended.wav" &&
    mv "$recording_wav.mended.wav" "$recording_wav"
}

stop_process() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# In the reverse order of starting: the clients first, so that the server sees them go.
stop_private_synth() {
  stop_process "$recorder_pid"
  stop_process "$synth_pid"
  stop_process "$server_pid"
  recorder_pid="" synth_pid="" server_pid=""
  if [ -n "${synth_commands:-}" ]; then exec {synth_commands}>&-; fi
}
