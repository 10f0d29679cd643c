# Shared by the cases files (sourced): results, waiting, the reset, the sequencer's readers,
# playing.
# Each check writes "ok NAME" or "not ok NAME: why" to the results device; everything else goes
# to the console. Expected events and bytes are those the MIDI standard gives for each input.
# shellcheck shell=bash
# shellcheck disable=SC2154 # the settings' and inputs' names are assigned in files written per run
# shellcheck disable=SC1091 # written by run-vm-tests.sh: the paths of programs and inputs
. /run/hexmidi/settings.env
# shellcheck disable=SC1091 # written by make-inputs.sh: sysex_1mib_md5, sysex_8kib_md5
. "$inputs/expected.env"
: "${sysex_1mib_md5:?}" "${sysex_8kib_md5:?}"
results=${HEXMIDI_VM_RESULTS:?}
# hexmidi as built for the machine, and the raw device reader, by name.
PATH=$build_dir:$PATH

pass() { echo "ok $1" > "$results"; }
# One line a result, however many lines went wrong.
fail() {
  echo "not ok $1: $(echo "$2" | tr '\n' '|')" > "$results"
  echo "FAILED $1: $2"
}
skip() { echo "ok $1 # skipped: $2" > "$results"; }
expect_equal() {  # NAME GOT EXPECTED
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "got [$2], expected [$3]"; fi
}
# Runs a condition every tenth of a second until it holds or TENTHS have passed.
wait_until() {
  local tries=0
  while ! eval "$1"; do
    tries=$((tries + 1))
    [ "$tries" -gt "$2" ] && return 1
    sleep 0.1
  done
}
uptime_now() { cut -d' ' -f1 /proc/uptime; }
# A process's scheduling policy, field 41 of its stat: 0 normal, 1 SCHED_FIFO.
reading_policy() { cut -d')' -f2 "/proc/$1/stat" | cut -d' ' -f40; }
# Loads a phase's modules (a list the initramfs was built with); those already in stay.
load_modules() {
  local module
  for module in $(cat "/run/hexmidi/modules/$1.list"); do
    [ -d "/sys/module/${module//-/_}" ] || insmod "/run/hexmidi/modules/$module.ko" "${@:2}"
  done
}

# A program on an input file, with its exit status, standard output and standard error kept:
#   play INPUT [PROGRAM...]   (hexmidi when no program is named; $play_limit s, or 120, at most)
play() {
  local input=$1 started
  shift
  [ $# -gt 0 ] || set -- hexmidi
  started=$(uptime_now)
  timeout "${play_limit:-120}" "$@" < "$input" > /tmp/stdout 2> /tmp/stderr
  echo $? > /tmp/status
  echo "${*##*/} on ${input##*/}: $started s to $(uptime_now) s"
}
expect_clean_run() {  # NAME [EXIT_STATUS]
  expect_equal "$1: exit status" "$(cat /tmp/status)" "${2:-0}"
  expect_equal "$1: prints nothing" "$(cat /tmp/stdout /tmp/stderr)" ""
}

# Waits for the program started in the background on the feed; its exit status goes to
# /tmp/status. False when it is still running after TENTHS.
wait_for_player() {
  if ! wait_until '! kill -0 $player 2> /dev/null' "$1"; then
    kill "$player"
    return 1
  fi
  wait "$player"
  echo $? > /tmp/status
}

# Sustain off on every channel, as the stand-in's reset sends it at the end of every run (after
# a note-off for each note still sounding): as aseqdump shows the events, and as raw bytes.
# shellcheck disable=SC2034 # read by the cases files
reset_events=$(for channel in $(seq 0 15); do
  echo "Control change $channel, controller 64, value 0"; done)
reset_bytes=$(for channel in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do
  printf 'b%s 40 00 ' "$channel"; done)
reset_bytes=${reset_bytes% }

# What aseqdump shows for short_and_long.txt before the reset, through any sender that expands
# running status. A note on with velocity 0 is a note off, and aseqdump says so (without a
# velocity).
# shellcheck disable=SC2034 # read by the cases files
short_and_long_events=$(printf '%s\n' 'Note on 0, note 60, velocity 127' 'Note off 0, note 60' \
  'Control change 0, controller 7, value 100' 'Program change 0, program 5' \
  'Pitch bend 0, value 0' 'System exclusive F0 7E 7F 09 01 F7' 'Note off 0, note 60, velocity 64')

# aseqdump's events without their source column, one event a line, blanks squeezed.
dumped_events() {
  grep -E '^ *[0-9]+:[0-9]+ ' "$1" | grep -vE '^ *0:1 ' | sed -E 's/^ *[0-9]+:[0-9]+ +//; s/ +/ /g'
}
# The bytes of every system-exclusive event aseqdump printed, one lower-case hex byte a line.
dumped_sysex_bytes() {
  grep 'System exclusive' "$1" | sed 's/.*System exclusive *//' | tr -s ' ' '\n' | grep -v '^$' |
    tr 'A-F' 'a-f'
}
# Every helper started in the background leaves the feed alone (3>&-): a writer it kept open
# would keep the program from ever seeing the end of its input.
start_aseqdump() {  # [ARGS...]: its output in /tmp/dump
  aseqdump "$@" > /tmp/dump 2>&1 3>&- &
  dump_pid=$!
  wait_until "aseqdump_ready ${1:-}" 100 || echo "aseqdump did not start: $(aconnect -l)"
}
# Its output is buffered, so the sequencer is asked: aseqdump (the one of $dump_pid) takes events
# once its port is listed, and those of the port it reads (with -p) once it is subscribed to it.
aseqdump_ready() {  # [-p]
  local client
  client=$(aconnect -l | awk -v pid=",pid=$dump_pid]" '/^client /{ours = index($0, pid) > 0} ours')
  grep -qE "^ +[0-9]+ 'aseqdump" <<< "$client" &&
    { [ "${1:-}" != -p ] || grep -q 'Connected From:' <<< "$client"; }
}
stop_aseqdump() {
  kill "$dump_pid" 2> /dev/null
  wait "$dump_pid" 2> /dev/null
}
# Waits until aseqdump has printed a line that matches PATTERN.
dump_seen() { wait_until "grep -q \"$1\" /tmp/dump" "$2"; }

# Raw bytes read from a virtual raw MIDI device at the wire rate, as a cable would take them;
# in lower-case hex, space-separated.
start_raw_reader() {  # [DEVICE [BUFFER]]: the first virmidi device when none is named
  rm -f /tmp/raw.ready
  wire_rate_reader "${1:-/dev/snd/midiC0D0}" ${2:+"$2"} > /tmp/raw 2> /tmp/raw.ready 3>&- &
  raw_pid=$!
  wait_until '[ -s /tmp/raw.ready ]' 100 || echo "the raw reader did not start"
}
raw_bytes() { od -An -v -tx1 /tmp/raw | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }
stop_raw_reader() {  # TENTHS [LAST BYTES]: waits until the bytes end so, or TENTHS have passed
  wait_until "raw_bytes | grep -q \"${2:-bf 40 00}\$\"" "$1"
  kill "$raw_pid" 2> /dev/null
  wait "$raw_pid" 2> /dev/null
}
# Runs a command in the background (its pid in $net_pid) in a network namespace of its own, or of
# PID, whose loopback alone is up; the namespace goes with its last process, leaving nothing.
in_network_namespace() {  # [--of PID] COMMAND...
  local enter=(unshare --net sh -c 'ip link set lo up && exec "$@"' sh)
  if [ "$1" = --of ]; then enter=(nsenter --net="/proc/$2/ns/net"); shift 2; fi
  "${enter[@]}" "$@" > /dev/null 2>&1 3>&- &
  # shellcheck disable=SC2034 # read by the cases files
  net_pid=$!
}
# The sequencer client number of the first client whose name starts with NAME.
client_number() { aconnect -l | sed -nE "s/^client ([0-9]+): '$1.*/\1/p" | head -n 1; }
