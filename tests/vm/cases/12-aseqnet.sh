#!/bin/bash
# aseqnet, a server and a client joined over a network namespace's loopback: the server's port is
# device 0, aseqdump reads the client's. The reset at a stop, one-shot runs, SysEx, a burst.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (player, dump_pid, inputs)
# shellcheck disable=SC2016 # wait_until evaluates its condition itself, each time
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"

echo "== aseqnet"
load_modules sequencer
if [ -d /sys/module/snd_virmidi ]; then rmmod snd_virmidi; fi  # it would be device 0
in_network_namespace aseqnet
server_pid=$net_pid
wait_until '[ -n "$(client_number "Net Client")" ]' 100
server=$(client_number "Net Client")
in_network_namespace --of "$server_pid" aseqnet 127.0.0.1
client_pid=$net_pid
wait_until '[ "$(aconnect -l | grep -c "^client [0-9]*: .Net Client")" -eq 2 ]' 100
client=$(aconnect -l | sed -nE "s/^client ([0-9]+): 'Net Client.*/\1/p" | tail -n 1)

start_aseqdump -p "$client:0"
rm -f /tmp/feed
mkfifo /tmp/feed
exec 3<> /tmp/feed
env --default-signal=INT hexmidi < /tmp/feed > /tmp/stdout 2> /tmp/stderr 3>&- &
player=$!
wait_until 'aconnect -l | grep -q "Connecting To: $server:0"' 100 ||
  fail "aseqnet: the server's port is device 0" "$(aconnect -l | tr '\n' '|')"
printf 'm 7F3C90\nm 7F4091\n' >&3
dump_seen "1, note 64, velocity 127" 100  # the event's name, padded, left out
kill -TERM "$player"
wait_for_player 100
exec 3>&-
dump_seen "15, controller 64, value 0" 100
expect_equal "aseqnet: SIGTERM ends the run by it" "$(cat /tmp/status)" 143
# 20 one-shot runs, each ending with its reset: a run's own has come once there are as many.
for key in $(seq 48 67); do
  printf 'm 7F%02X90\n' "$key" > /tmp/one_note.txt
  play /tmp/one_note.txt
  wait_until '[ "$(grep -c "15, controller 64, value 0" /tmp/dump)" -gt $((key - 47)) ]' 100
done
stop_aseqdump
expected=$(printf 'Note on 0, note 60, velocity 127\nNote on 1, note 64, velocity 127\n%s\n%s\n%s' \
  'Note off 0, note 60, velocity 0' 'Note off 1, note 64, velocity 0' "$reset_events"
  for key in $(seq 48 67); do
    printf '\nNote on 0, note %d, velocity 127\nNote off 0, note %d, velocity 0\n%s' \
      "$key" "$key" "$reset_events"
  done)
expect_equal "aseqnet: notes and the reset at a stop, then 20 one-shot runs" \
  "$(dumped_events /tmp/dump)" "$expected"

# Note-ons whose key and velocity walk, so that a loss or a swap shows (paced: 96 s).
awk 'BEGIN { for (i = 0; i < 100000; i++)
  printf "m %02X%02X90\n", i % 127 + 1, int(i / 127) % 128 }' > /tmp/burst.txt
# aseqnet's far end drops what finds no room, as when aseqdump falls behind, and the sequencer
# counts each drop as an allocation failure: only then is a run played again, once.
drops() { awk '/Alloc failures/ { n += $NF } END { print n + 0 }' /proc/asound/seq/clients; }
for input in "$inputs/sysex_1000.txt" "$inputs/sysex_64kib.txt" /tmp/burst.txt; do
  name=$(basename "$input" .txt) digest=$(basename "$input" .txt)_md5
  for try in 1 2; do
    before=$(drops)
    start_aseqdump -p "$client:0"
    play_limit=400 play "$input"
    dump_seen "15, controller 64, value 0" 600
    dropped=$(($(drops) - before))
    stop_aseqdump
    [ "$dropped" -eq 0 ] && break
    echo "$name played again: aseqnet's far end dropped $dropped events"
  done
  expect_clean_run "aseqnet: $name"
  [ -z "${!digest:-}" ] || expect_equal "aseqnet: $name arrives intact" \
    "$(dumped_sysex_bytes /tmp/dump | md5sum | cut -d' ' -f1)" "${!digest}"
done
dumped_events /tmp/dump | grep '^Note on' > /tmp/burst.got
awk 'BEGIN { for (i = 0; i < 100000; i++)
  printf "Note on 0, note %d, velocity %d\n", int(i / 127) % 128, i % 127 + 1 }' > /tmp/burst.sent
expect_equal "aseqnet: 100,000 short messages arrive, all and in order (count, first difference)" \
  "$(wc -l < /tmp/burst.got) $(cmp /tmp/burst.got /tmp/burst.sent 2>&1 | head -n 1)" "100000 "
kill "$client_pid" "$server_pid" 2> /dev/null
wait "$client_pid" "$server_pid" 2> /dev/null || true  # aseqnet ends by SIGTERM with 1
