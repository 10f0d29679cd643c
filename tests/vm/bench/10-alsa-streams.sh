#!/bin/bash
# Figures, not tests: streams of short and of six-byte long messages through the kernel's
# sequencer to an aseqdump client, and the start-up to the first event there. Run by
# scripts/run-benchmarks.sh (bench/alsa_vm_measurements.py), never by the tests. Each run is a line
#   figure KIND COUNT arrived=N in_order=yes|no first_to_last_s=S start_to_first_ms=MS run_s=S
# on the results device. All times are this machine's own clock (the time of day: bash's
# EPOCHREALTIME and Python's time.time()), under emulation.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (dump_pid, results)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"
load_modules sequencer

# COUNT messages of KIND a line: short, note-on and note-off pairs whose key walks up; long,
# General MIDI System On whose device ID walks up, so that a message out of order shows.
write_stream() {  # KIND COUNT FILE
  awk -v kind="$1" -v count="$2" 'BEGIN {
    for (i = 0; i < count; i++) {
      if (kind == "long") printf "l 6 F0 7E %02X 09 01 F7\n", i % 128
      else printf "m %s%02X%s\n", (i % 2 ? "40" : "64"), int(i / 2) % 128, (i % 2 ? "80" : "90")
    }
  }' > "$3"
}

# What of the stream aseqdump printed, and in what order, against what write_stream wrote: the
# stream with some messages left out is in order, one reordered is not. From the stamps, the
# rate's span and the start-up.
count_events() {  # KIND COUNT DUMP STARTED ENDED FIRST LAST
  awk -v kind="$1" -v count="$2" -v started="$4" -v ended="$5" -v first="$6" -v last="$7" '
    function wanted(p) {
      if (kind == "long") return sprintf("%02X", p % 128)
      return sprintf("%s %d %d", p % 2 ? "off" : "on", int(p / 2) % 128, p % 2 ? 64 : 100)
    }
    kind == "long" && $2 == "System" { got = $6 }
    kind == "short" && $2 == "Note" { got = $3 " " ($6 + 0) " " $8 }
    got != "" {
      arrived++
      while (position < count && wanted(position) != got) position++
      if (position++ >= count) reordered = 1
      got = ""
    }
    END {
      printf "arrived=%d in_order=%s first_to_last_s=%.6f start_to_first_ms=%.3f run_s=%.6f\n",
        arrived, reordered ? "no" : "yes", last - first, (first - started) * 1e3, ended - started
    }' "$3"
}

# One run of the program on FILE, aseqdump reading, its output stamped as it comes.
measure() {  # KIND COUNT FILE: prints count_events' figures
  local kind=$1 count=$2 file=$3 marker="Note o" reader started ended
  [ "$kind" = long ] && marker="System exclusive"
  rm -f /tmp/dump.fifo
  mkfifo /tmp/dump.fifo
  python3 "$here/event_times.py" "$marker" /tmp/dump < /tmp/dump.fifo > /tmp/stamps &
  reader=$!
  # With $dump_from, aseqdump reads what comes out of that port rather than being device 0.
  aseqdump ${dump_from:+-p "$dump_from"} > /tmp/dump.fifo 2>&1 &
  dump_pid=$!
  wait_until "aseqdump_ready ${dump_from:+-p}" 100 || echo "aseqdump did not start" >&2
  # The stamp is taken in the shell that then becomes the program, just before the exec.
  (echo "$EPOCHREALTIME" > /tmp/started && exec timeout 300 hexmidi < "$file" > /dev/null 2>&1)
  ended=$EPOCHREALTIME
  started=$(cat /tmp/started)
  echo "hexmidi on $count $kind: $started to $ended" >&2
  # The reader ends at the reset's last event; if that never comes, the end of aseqdump ends it.
  wait_until "! kill -0 $reader 2> /dev/null" 300
  stop_aseqdump
  wait "$reader"
  # shellcheck disable=SC2046 # first=T last=T, two words
  count_events "$kind" "$count" /tmp/dump "$started" "$ended" \
    $(sed 's/[a-z]*=//g' /tmp/stamps)
}

# Short and long in turn, so that whatever else the machine does falls on both alike.
for count_runs in 2000:3 100000:2; do
  count=${count_runs%:*}
  write_stream short "$count" /tmp/short.txt
  write_stream long "$count" /tmp/long.txt
  for ((run = 1; run <= ${count_runs#*:}; run++)); do
    for kind in short long; do
      echo "figure $kind $count $(measure "$kind" "$count" "/tmp/$kind.txt")" > "$results"
    done
  done
done

# Start-up: one note, as a script that starts the program once per note sends it.
echo "m 7F3C90" > /tmp/one.txt
for run in 1 2 3 4 5; do
  echo "figure start_up 1 $(measure short 1 /tmp/one.txt)" > "$results"
done

# Through aseqnet, a server and a client on a network namespace's loopback: device 0 is the
# server's port, and aseqdump reads from the client's. One note a run, against start_up above,
# and 2,000 short messages, which hexmidi paces there at the wire rate.
in_network_namespace aseqnet
server_pid=$net_pid
wait_until '[ -n "$(client_number "Net Client")" ]' 100
in_network_namespace --of "$server_pid" aseqnet 127.0.0.1
client_pid=$net_pid
wait_until '[ "$(aconnect -l | grep -c "^client [0-9]*: .Net Client")" -eq 2 ]' 100
dump_from=$(aconnect -l | sed -nE "s/^client ([0-9]+): 'Net Client.*/\1/p" | tail -n 1):0
for run in 1 2 3 4 5; do
  echo "figure aseqnet_start_up 1 $(measure short 1 /tmp/one.txt)" > "$results"
done
write_stream short 2000 /tmp/short.txt
echo "figure aseqnet_short 2000 $(measure short 2000 /tmp/short.txt)" > "$results"
kill "$client_pid" "$server_pid" 2> /dev/null
wait "$client_pid" "$server_pid" 2> /dev/null || true  # aseqnet ends by SIGTERM with 1
