#!/bin/bash
# hexmidi beside PipeWire and its sequencer bridge: a session bus, pipewire and WirePlumber, which
# starts the "Midi-Bridge" node that exports every sequencer port as a JACK port.
#  - Without pw-jack, the ALSA backend must not take PipeWire's own sequencer clients
#    ("PipeWire-System", "PipeWire-RT-Event") for device 0: they are started before aseqdump,
#    so they come first in client order, and there is no virmidi to come before them.
#  - Under pw-jack, through the bridge, with Midi Through, virmidi and aseqdump all exported:
#    device 0 is a port that delivers, not Midi Through, and the bytes arrive there and nowhere
#    else. The case prints the port hexmidi connected to and where the note went: Midi Through
#    is subscribed to aseqdump, whose output names the source of each event.
#  - Under pw-jack, a short input that ends at once: every message arrives, the first too.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (inputs, raw_pid)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"

for tool in pipewire wireplumber pw-jack dbus-daemon jack_lsp; do
  if ! command -v "$tool" > /dev/null; then
    skip "hexmidi beside PipeWire" "$tool is missing (scripts/install-deps.sh vm installs it)"
    exit 0
  fi
done
load_modules sequencer
# No virmidi at first (an earlier cases file may have loaded it): as a kernel client it would
# come before PipeWire's clients and hide a wrong choice. One virmidi device later: every device
# exported is one the case reads.
rmmod snd_virmidi 2> /dev/null

# WirePlumber reads our configuration first (it has no Bluetooth monitor to start here).
export XDG_CONFIG_HOME=$here/../config
dbus-daemon --session --fork --print-address=3 --print-pid=4 3> /tmp/dbus.address 4> /tmp/dbus.pid
DBUS_SESSION_BUS_ADDRESS=$(cat /tmp/dbus.address)
export DBUS_SESSION_BUS_ADDRESS
pipewire > /tmp/pipewire.log 2>&1 &
pipewire_pid=$!
wireplumber > /tmp/wireplumber.log 2>&1 &
wireplumber_pid=$!
stop_pipewire() {
  kill "$wireplumber_pid" "$pipewire_pid" "$(cat /tmp/dbus.pid)" 2> /dev/null
  wait "$wireplumber_pid" "$pipewire_pid" 2> /dev/null
}
trap stop_pipewire EXIT
jack_ports() { pw-jack jack_lsp 2> /dev/null; }
# The bridge's ports are named "Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0" by
# PipeWire 0.3, "Midi-Bridge:Midi Through Port-0 (playback)" by 1.4: the checks below take either.
if ! wait_until "jack_ports | grep -qE 'Midi-Bridge:Midi Through(:| Port-0 )\(playback'" 300; then
  fail "PipeWire's Midi-Bridge starts" "$(tail -n 5 /tmp/pipewire.log /tmp/wireplumber.log)"
  exit 0
fi
echo "PipeWire's Midi-Bridge is up at $(uptime_now) s"
# The check below means something only while PipeWire's clients are there to be taken.
for client in PipeWire-System PipeWire-RT-Event; do
  [ -n "$(client_number "$client")" ] || fail "PipeWire's client $client is there" "$(aconnect -l)"
done

note_events="Note on 0, note 60, velocity 127
Note off 0, note 60, velocity 64"
printf 'm 7F3C90\nm 403C80\n' > /tmp/note.txt

start_aseqdump
play /tmp/note.txt hexmidi
dump_seen "15, controller 64, value 0" 50
expect_clean_run "beside PipeWire, without pw-jack"
expect_equal "the ALSA backend passes over PipeWire's own clients" "$(dumped_events /tmp/dump)" \
  "$note_events
$reset_events"
stop_aseqdump

load_modules virmidi midi_devs=1
wait_until "jack_ports | grep -q 'VirMIDI 0-0'" 300 || echo "the bridge did not export virmidi"

# Where the note went: aseqdump prints the source of each event, and Midi Through's is 14:0.
start_destinations() {
  start_aseqdump
  aconnect "$(client_number 'Midi Through'):0" "$(client_number aseqdump):0"
  wait_until "jack_ports | grep -q 'aseqdump'" 300 || echo "the bridge did not export aseqdump"
  start_raw_reader /dev/snd/midiC0D0
}
# The bridge changes its node whenever a sequencer port comes or goes: each case waits for it to
# have dropped the last aseqdump and taken up the new one, so that no case plays into that change.
stop_destinations() {
  stop_raw_reader 20 "bf 40 00"
  stop_aseqdump
  wait_until "! jack_ports | grep -q aseqdump" 300 || echo "the bridge kept aseqdump's port"
  destinations=()
  grep -qE '^ *14:0 +Note on' /tmp/dump && destinations+=("Midi Through")
  grep -E 'Note on' /tmp/dump | grep -qvE '^ *14:0 ' && destinations+=("aseqdump")
  [ -s /tmp/raw ] && destinations+=("VirMIDI 0-0")
  echo "under pw-jack the note went to: ${destinations[*]:-nowhere}"
}
expect_note_at() {  # NAME DESTINATION: the note and the reset arrived there, and only there
  if [ "${destinations[*]:-}" != "$2" ]; then
    fail "$1" "the note went to: ${destinations[*]:-nowhere}; device 0 is $2"
  elif [ "$2" = "VirMIDI 0-0" ]; then
    expect_equal "$1" "$(raw_bytes)" "90 3c 7f 80 3c 40 $reset_bytes"
  else
    expect_equal "$1" "$(dumped_events /tmp/dump)" "$note_events
$reset_events"
  fi
}

start_destinations
mkfifo /tmp/feed
exec 3<> /tmp/feed
pw-jack hexmidi < /tmp/feed > /tmp/stdout 2> /tmp/stderr 3>&- &
player=$!
connected() { pw-jack jack_lsp -c 2> /dev/null | sed -n '/^hexmidi:out$/{n;s/^ *//p}'; }
wait_until '[ -n "$(connected)" ]' 300
port=$(connected)
echo "under pw-jack hexmidi:out is connected to: ${port:-nothing}"
case $port in
  *"VirMIDI 0-0"*) chosen="VirMIDI 0-0" ;;
  *aseqdump*) chosen=aseqdump ;;
  *"Midi Through Port-0"*) chosen="Midi Through" ;;
  *) chosen=$port ;;
esac
case $chosen in
  "VirMIDI 0-0" | aseqdump) pass "under pw-jack, device 0 is not Midi Through: $chosen" ;;
  *) fail "under pw-jack, device 0 is not Midi Through" "connected to ${port:-nothing}" ;;
esac
# The note is written at once: hexmidi waits at its open until its link carries data.
cat /tmp/note.txt >&3
exec 3>&-
wait_for_player 300 || echo "hexmidi under pw-jack did not end"
stop_destinations
expect_clean_run "under pw-jack"
expect_note_at "under pw-jack, the note arrives at device 0 and nowhere else" "$chosen"

start_destinations
play /tmp/note.txt pw-jack hexmidi
stop_destinations
expect_clean_run "under pw-jack, a short input"
expect_note_at "under pw-jack, a short input: every message arrives, the first too" "$chosen"
