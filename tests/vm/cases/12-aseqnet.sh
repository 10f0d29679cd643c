#!/bin/bash
# A synthesizer on another machine through the sequencer's own network link, aseqnet: a server and
# a client, in a network namespace whose loopback alone is up, joined over TCP. The server's port
# is device 0 (the first client that takes writes); what hexmidi plays to it goes over the network
# and comes out of the client's port, where aseqdump reads it. Notes, one-shot runs, the reset at
# a stop, SysEx of 1,000 bytes and 64 KiB, and a burst of 100,000 short messages.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (player, dump_pid, inputs)
# shellcheck disable=SC2016 # wait_until evaluates its condition itself, each time
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"

echo "== aseqnet"
load_modules sequencer
# A virmidi device, left by an earlier cases file, would be device 0 ahead of aseqnet.
if [ -d /sys/module/snd_virmidi ]; then rmmod snd_virmidi; fi

in_network_namespace aseqnet
server_pid=$net_pid
wait_until '[ -n "$(client_number "Net Client")" ]' 100
server=$(client_number "Net Client")
in_network_namespace --of "$server_pid" aseqnet 127.0.0.1
client_pid=$net_pid
if wait_until '[ "$(in_network_namespace --of "$server_pid" --run ss -Htn state established |
    wc -l)" -eq 2 ]' 100; then
  client=$(aconnect -l | sed -nE "s/^client ([0-9]+): 'Net Client.*/\1/p" | tail -n 1)
  pass "aseqnet: client $client joined server $server over the namespace's loopback"
else
  fail "aseqnet: the client joins the server" "$(aconnect -l | tr '\n' '|')"
fi

# aseqdump reads what comes out of the client's port.
start_aseqdump -p "$client:0"
# The server's port is device 0, and a stop sends the note-offs and the reset through it.
rm -f /tmp/feed
mkfifo /tmp/feed
exec 3<> /tmp/feed
env --default-signal=INT hexmidi < /tmp/feed > /tmp/stdout 2> /tmp/stderr 3>&- &
player=$!
if wait_until 'aconnect -l | grep -q "Connecting To: $server:0"' 100; then
  pass "aseqnet: the server's port is device 0"
else
  fail "aseqnet: the server's port is device 0" "$(aconnect -l | tr '\n' '|')"
fi
echo 'm 7F3C90' >&3
echo 'm 7F4091' >&3
# aseqdump's columns are padded: the patterns leave out the event's name.
dump_seen "1, note 64, velocity 127" 100
kill -TERM "$player"
wait_for_player 100
exec 3>&-
dump_seen "15, controller 64, value 0" 100
expect_equal "aseqnet: SIGTERM ends the run by it" "$(cat /tmp/status)" 143
expect_equal "aseqnet: the notes, their note-offs and the reset at a stop" \
  "$(dumped_events /tmp/dump)" "Note on 0, note 60, velocity 127
Note on 1, note 64, velocity 127
Note off 0, note 60, velocity 0
Note off 1, note 64, velocity 0
$reset_events"
stop_aseqdump

start_aseqdump -p "$client:0"
for key in $(seq 48 67); do
  printf 'm 7F%02X90\n' "$key" > /tmp/one_note.txt
  play /tmp/one_note.txt
  # Each run ends with its reset: the run's own has come once there are as many as runs.
  wait_until '[ "$(grep -c "15, controller 64, value 0" /tmp/dump)" -gt $((key - 48)) ]' 100
done
stop_aseqdump
expected=$(for key in $(seq 48 67); do
  printf 'Note on 0, note %d, velocity 127\nNote off 0, note %d, velocity 0\n%s\n' "$key" "$key" \
    "$reset_events"
done)
expect_equal "aseqnet: 20 one-shot runs, each note and its reset" "$(dumped_events /tmp/dump)" \
  "$expected"

for size in 1000 64kib; do
  start_aseqdump -p "$client:0"
  play "$inputs/sysex_$size.txt"
  dump_seen "15, controller 64, value 0" 600
  stop_aseqdump
  expect_clean_run "aseqnet: SysEx of $size"
  digest=sysex_${size}_md5
  expect_equal "aseqnet: SysEx of $size arrives intact" \
    "$(dumped_sysex_bytes /tmp/dump | md5sum | cut -d' ' -f1)" "${!digest}"
done

# Note-ons whose key and velocity walk: a loss or a swap shows.
awk 'BEGIN { for (i = 0; i < 100000; i++) printf "m %02X%02X90\n", i % 127 + 1, int(i / 127) % 128 }' \
  > /tmp/burst.txt
start_aseqdump -p "$client:0"
# Paced at the wire rate, it takes 96 s: longer than play allows.
started=$(uptime_now)
timeout 400 hexmidi < /tmp/burst.txt > /tmp/stdout 2> /tmp/stderr
echo $? > /tmp/status
echo "hexmidi on burst.txt: $started s to $(uptime_now) s"
dump_seen "15, controller 64, value 0" 600
stop_aseqdump
expect_clean_run "aseqnet: 100,000 short messages"
expect_equal "aseqnet: 100,000 short messages arrive, in order" \
  "$(dumped_events /tmp/dump | grep -c '^Note on')" 100000
expect_equal "aseqnet: 100,000 short messages arrive, in order (digest)" \
  "$(dumped_events /tmp/dump | grep '^Note on' | md5sum | cut -d' ' -f1)" \
  "$(awk 'BEGIN { for (i = 0; i < 100000; i++)
    printf "Note on 0, note %d, velocity %d\n", int(i / 127) % 128, i % 127 + 1 }' |
    md5sum | cut -d' ' -f1)"

kill "$client_pid" "$server_pid" 2> /dev/null
wait "$client_pid" "$server_pid" 2> /dev/null
