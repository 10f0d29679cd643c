#!/bin/bash
# Stopping by a signal, with the ALSA sequencer backend: SIGINT, SIGTERM and SIGHUP while notes
# sound, at aseqdump as device 0, and SIGINT in the middle of 1 MiB of system exclusive paced out
# to a virmidi raw device at the wire rate. Each time the program ends by the signal (exit status
# 128 + its number, as a shell shows it), having sent a note-off for each sounding note and the
# reset. How long the ending took is printed: under emulation on a busy machine it is a figure,
# and only a stop slower than a second fails.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (player, dump_pid, inputs)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"

# The program in the background with SIGINT at its default action: a non-interactive shell
# starts background jobs with it ignored, and the program leaves alone a stop signal that was
# ignored from the start.
start_player() {  # INPUT
  env --default-signal=INT hexmidi < "$1" > /tmp/stdout 2> /tmp/stderr 3>&- &
  player=$!
}
now_us() { now=${EPOCHREALTIME/./}; }
# A pause that starts no process, so that the wait below measures the program and not the
# shell: a read, with a time limit, from a pipe that no one writes to.
rm -f /tmp/never
mkfifo /tmp/never
exec 4<> /tmp/never
# Sends SIGNAL to the player and waits until it has ended (killed after 10 s): its exit status
# goes to /tmp/status, the time from the signal to its end, in milliseconds, to $ended_after.
signal_player() {  # SIGNAL
  local signalled now
  now_us
  signalled=$now
  kill -"$1" "$player"
  while kill -0 "$player" 2> /dev/null; do
    now_us
    [ $((now - signalled)) -lt 10000000 ] || kill -KILL "$player"
    read -r -t 0.002 -u 4
  done
  now_us
  ended_after=$(((now - signalled) / 1000))
  # (bash would print the job's end by SIGHUP.)
  wait "$player" 2> /dev/null
  echo $? > /tmp/status
}
expect_within_a_second() {  # NAME MILLISECONDS
  echo "$1: $2 ms"
  if [ "$2" -lt 1000 ]; then pass "$1"; else fail "$1" "$2 ms"; fi
}

echo "== stop signals at aseqdump"
load_modules sequencer
# A virmidi device, left by an earlier cases file, would be device 0 ahead of aseqdump.
if [ -d /sys/module/snd_virmidi ]; then rmmod snd_virmidi; fi

# SIGNAL, exit status and the notes played (as hexmidi's commands); the events they are; the
# note-offs the reset sends for them, channel by channel, at velocity 0.
rm -f /tmp/feed
mkfifo /tmp/feed
while read -r signal status commands; do
  read -r events
  read -r offs
  start_aseqdump
  exec 3<> /tmp/feed
  start_player /tmp/feed
  echo "$commands" >&3
  notes_on=$(echo "$events" | tr '|' '\n')
  wait_until '[ "$(dumped_events /tmp/dump)" = "$notes_on" ]' 100
  signal_player "$signal"
  exec 3>&-
  dump_seen "15, controller 64, value 0" 50
  stop_aseqdump
  name="SIG$signal while notes sound"
  expect_clean_run "$name" "$status"
  expect_within_a_second "$name: signal to exit" "$ended_after"
  expect_equal "$name: note-offs, then the reset" "$(dumped_events /tmp/dump)" \
    "$notes_on
$(echo "$offs" | tr '|' '\n')
$reset_events"
done << 'EOF'
INT 130 m 7F3C90 m 7F4091
Note on 0, note 60, velocity 127|Note on 1, note 64, velocity 127
Note off 0, note 60, velocity 0|Note off 1, note 64, velocity 0
TERM 143 m 7F3C90
Note on 0, note 60, velocity 127
Note off 0, note 60, velocity 0
HUP 129 m 7F4095
Note on 5, note 64, velocity 127
Note off 5, note 64, velocity 0
EOF

echo "== SIGINT during 1 MiB to virmidi"
load_modules virmidi
start_raw_reader
start_player "$inputs"/sysex_1mib.txt
# A few hundred bytes: well into the message, which would take five minutes on the wire.
if ! wait_until '[ "$(stat -c %s /tmp/raw)" -ge 300 ]' 600; then
  fail "SIGINT during 1 MiB: the message is under way" "$(raw_bytes | head -c 60)"
  kill "$player" "$raw_pid"
  exit 0
fi
read_at_signal=$(stat -c %s /tmp/raw)
signal_player INT
stop_raw_reader 50
expect_clean_run "SIGINT during 1 MiB" 130
expect_within_a_second "SIGINT during 1 MiB: signal to exit" "$ended_after"
# Whatever the program had sent ahead of the wire delays the reset, by its wire time.
read_after=$(($(wc -c < /tmp/raw) - read_at_signal))
echo "SIGINT during 1 MiB: $read_after bytes read after the signal"
expect_within_a_second "SIGINT during 1 MiB: the reset read at the wire rate after the signal" \
  $((read_after * 1000 / 3125))
# The message as far as it went (F0 and its first data bytes, no F7: a status byte ends it on
# the wire), then the reset.
got=$(raw_bytes)
message_bytes=$(($(wc -w <<< "$got") - $(wc -w <<< "$reset_bytes")))
echo "SIGINT during 1 MiB: $message_bytes bytes of the message sent"
message_start=$(tr -s ' \n' '\n' < "$inputs"/sysex_1mib.txt | tail -n +3 |
  head -n "$((message_bytes > 0 ? message_bytes : 0))" | tr 'A-F\n' 'a-f ')
if [ "$message_bytes" -lt $((1 << 20)) ]; then
  expect_equal "SIGINT during 1 MiB: the start of the message, cut short, then the reset" \
    "$got" "$message_start$reset_bytes"
else
  fail "SIGINT during 1 MiB: the message is cut short" "all $message_bytes bytes of it were sent"
fi
