#!/bin/bash
# The ALSA sequencer backend against the kernel's sequencer: Midi Through alone, aseqdump as a
# client, a destination that goes away or stops reading, and virmidi's raw device at the wire rate.
# Loads the sequencer, then virmidi, as the phases need them.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (player, dump_pid, inputs)
# shellcheck disable=SC2016 # wait_until evaluates its condition itself, each time
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"

echo "== the sequencer and Midi Through alone"
load_modules sequencer

# Midi Through alone is device 0. The program is made to open its port before aseqdump exists
# (aseqdump's own port would be chosen otherwise), then aseqdump reads from Midi Through.
mkfifo /tmp/feed
exec 3<> /tmp/feed
hexmidi < /tmp/feed > /tmp/stdout 2> /tmp/stderr 3>&- &
player=$!
if wait_until 'aconnect -l | grep -q "Connecting To: 14:0"' 100; then
  pass "Midi Through alone is device 0"
else
  fail "Midi Through alone is device 0" "$(aconnect -l | tr '\n' '|')"
fi
# A live stream is read at real-time priority once the port is open and connected.
if wait_until '[ "$(reading_policy "$player")" = 1 ]' 100; then
  pass "a live stream is read at SCHED_FIFO"
else
  fail "a live stream is read at SCHED_FIFO" "policy $(reading_policy "$player")"
fi
start_aseqdump -p 14:0
echo 'm 7F3C90 m 403C80' >&3
exec 3>&-
wait_for_player 300 || fail "Midi Through: the program ends" "still running after 30 s"
dump_seen "15, controller 64, value 0" 100
stop_aseqdump
expect_clean_run "Midi Through"
expect_equal "Midi Through passes the events on" "$(dumped_events /tmp/dump)" \
  "$(printf 'Note on 0, note 60, velocity 127\nNote off 0, note 60, velocity 64\n%s' "$reset_events")"

echo "== aseqdump as device 0"
start_aseqdump
play "$inputs"/short_and_long.txt
dump_seen "15, controller 64, value 0" 100
stop_aseqdump
expect_clean_run "events to a client"
expect_equal "events to a client, running status expanded, the last one too" \
  "$(dumped_events /tmp/dump)" "$short_and_long_events
$reset_events"

start_aseqdump
play "$inputs"/sysex_1mib.txt
dump_seen "15, controller 64, value 0" 1200
stop_aseqdump
expect_clean_run "1 MiB to a client"
received=$(dumped_sysex_bytes /tmp/dump | md5sum | cut -d' ' -f1)
expect_equal "1 MiB system exclusive arrives intact at a client" "$received" "$sysex_1mib_md5"

# The destination goes away in the middle of a run: what follows fails, silently, and the
# program reads on to the end and exits 0.
start_aseqdump
exec 3<> /tmp/feed
hexmidi < /tmp/feed > /tmp/stdout 2> /tmp/stderr 3>&- &
player=$!
wait_until 'aconnect -l | grep -q "Connecting To: 1[23][0-9]:0"' 100
echo 'm 7F3C90' >&3
wait_until 'grep -q "Note on" /tmp/dump' 100
stop_aseqdump
cat "$inputs"/after_destination_gone.txt >&3
exec 3>&-
echo "destination gone at $(uptime_now) s"
if wait_for_player 300; then
  echo "the program ended at $(uptime_now) s"
  expect_clean_run "destination gone"
  pass "destination gone: the program reads on and ends"
else
  fail "destination gone: the program reads on and ends" "still running after 30 s"
fi

# A destination that stops reading: once it has made no room for a few seconds the program
# takes it for gone, instead of hanging, and ends.
start_aseqdump
kill -STOP "$dump_pid"
started=$(uptime_now)
hexmidi < "$inputs"/sysex_1mib.txt > /tmp/stdout 2> /tmp/stderr &
player=$!
# A file holds no timing: once the program reads it, past the open, it runs at normal priority.
wait_until '[ "$(sed -n "s/^pos:[[:space:]]*//p" "/proc/$player/fdinfo/0")" -gt 0 ]' 100
expect_equal "a file is read at normal priority" "$(reading_policy "$player")" 0
wait_for_player 600 || fail "a destination that stops reading: the program ends" "after 60 s"
echo "hexmidi to a stopped client: $started s to $(uptime_now) s"
kill -CONT "$dump_pid"
stop_aseqdump
expect_clean_run "a destination that stops reading"

echo "== virmidi beside Midi Through"
load_modules virmidi

start_raw_reader
play "$inputs"/short_bytes.txt
stop_raw_reader 100
expect_clean_run "short messages to virmidi"
expect_equal "virmidi is device 0 over Midi Through, bytes with running status, the last too" \
  "$(raw_bytes)" "90 3c 7f 40 7f 3c 00 40 00 b0 07 64 c0 05 06 f8 f3 01 90 3c 7f 80 3c 40 $reset_bytes"

start_raw_reader
play "$inputs"/long_bytes.txt
stop_raw_reader 100
expect_clean_run "long message to virmidi"
expect_equal "long message bytes between short ones, status sent again after it" "$(raw_bytes)" \
  "90 3c 7f f0 7e 7f 09 01 f7 90 3e 7f 3c 00 3e 00 $reset_bytes"

start_raw_reader
play "$inputs"/sysex_8kib.txt
stop_raw_reader 300
expect_clean_run "8 KiB to virmidi"
received=$(raw_bytes | tr ' ' '\n' | head -n 8192 | md5sum | cut -d' ' -f1)
expect_equal "8 KiB system exclusive arrives intact through virmidi, paced" "$received" \
  "$sysex_8kib_md5"
expect_equal "8 KiB to virmidi: byte count" "$(wc -c < /tmp/raw)" $((8192 + 48))

