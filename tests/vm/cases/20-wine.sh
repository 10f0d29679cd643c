#!/bin/bash
# Both Windows builds through a real winmm: Wine's, with its ALSA MIDI driver, to the kernel's
# sequencer, as exact events at aseqdump and exact bytes at a virmidi raw device.
#
# Device 0 is known in each case: Wine lists the ports of user clients first and then the
# kernel's in client order, so aseqdump is device 0 while it runs, and Midi Through (client 14,
# ahead of virmidi's) when no user client exists. Midi Through is subscribed to the second
# virmidi device, and the bytes are read there: bytes sent to any other port would not arrive.
#
# The reset at the end is Wine's: its midiOutReset sends all sound off (controller 120) and
# sustain off (controller 64) on every channel, and that is what Windows' reset looks like as far
# as these cases can see.
# shellcheck disable=SC2154,SC2034 # names lib.sh assigns or reads (inputs, win32_exe, raw_pid)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../lib.sh
. "$here/../lib.sh"

if [ -z "$wine_key" ] || ! command -v wine > /dev/null; then
  skip "Windows builds through Wine's winmm" "Wine is not installed (scripts/install-deps.sh wine)"
  exit 0
fi
# Both, before Wine starts: with no sound card at all, Wine's ALSA driver prints libasound's
# complaints about the missing default device; virmidi is a card.
load_modules sequencer
load_modules virmidi

# Wine as the cases need it: no display, none of its debug output, and its ALSA driver, the one
# with MIDI. PulseAudio's is left out: there is no PulseAudio server to try.
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="winepulse.drv=d"
# The prefix is made here, where 32-bit programs run, and so has both halves; once, as it takes
# a minute or more under emulation. A cached one is read from this machine's root; what Wine
# writes to it lands in the tmpfs overlay, and the cache stays as it was made. A new one is
# copied out through the writable share, to replace the cached one once complete.
if [ -f "$wine_prefix/system.reg" ]; then
  export WINEPREFIX=$wine_prefix
else
  export WINEPREFIX=/tmp/wine-prefix
  echo "making the Wine prefix at $(uptime_now) s"
  # Mono and Gecko are left out, as nothing here needs .NET or a browser.
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree,mshtml=d" wine wineboot --init > /dev/null 2>&1
  wineserver -w
  echo "made the Wine prefix at $(uptime_now) s"
  mkdir -p /run/hexmidi/cache
  if mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 cache /run/hexmidi/cache &&
    cp -a "$WINEPREFIX" "$wine_prefix_new" && touch "$wine_prefix_new/.complete"; then
    echo "copied the Wine prefix out at $(uptime_now) s"
  fi
  umount /run/hexmidi/cache 2> /dev/null
fi
# One Wine program alive for the whole run: Wine's services start with a server's first program
# and stay for its life, so no case pays for them (8 to 11 s a run instead of 2 to 3).
# It is the 32-bit command interpreter where there is a 32-bit build, so that Wine's 32-bit half is
# loaded before the first case too (the services are 64-bit), and reads its commands from a pipe
# that stays open until the end.
interpreter='C:\windows\system32\cmd.exe'
[ -z "$win32_exe" ] || interpreter='C:\windows\syswow64\cmd.exe'
mkfifo /tmp/wine-commands
wine "$interpreter" < /tmp/wine-commands > /dev/null 2>&1 &
exec 4> /tmp/wine-commands
wait_until 'pgrep -f services.exe > /dev/null' 300 || echo "Wine's services did not start"
echo "Wine is up at $(uptime_now) s"

wine_reset_events=$(for channel in $(seq 0 15); do
  echo "Control change $channel, controller 120, value 0"
  echo "Control change $channel, controller 64, value 0"; done)
# Through the kernel's encoder, which leaves out a repeated status byte.
wine_reset_bytes=$(for channel in 0 1 2 3 4 5 6 7 8 9 a b c d e f; do
  printf 'b%s 78 00 40 00 ' "$channel"; done)
wine_reset_bytes=${wine_reset_bytes% }
# Wine's ALSA driver sends song select (F3) as two bytes of its stack that have gone out of scope
# by the time they are sent, so the byte-exact input leaves system common messages out.
grep -v 'F3$' "$inputs/short_bytes.txt" > /tmp/short_bytes_wine.txt

# Wine 8.0 itself sometimes dies of SIGSEGV (status 139) as a run ends, after the program has
# returned and everything it sent has arrived: a core showed the main thread in exit() and a thread
# of Wine's own, torn down inside a call into ntdll's Unix side (seen in 4 of 16 runs of the 8 KiB
# case with only Wine's 64-bit half installed). A fault in the program's own code would become a
# Windows exception and end it with another status, so 139 is Wine's alone: such a run is played
# again, and says so. START and STOP are the commands around the run.
wine_run() {  # START STOP INPUT EXE
  local try
  for try in 1 2 3 4 5; do
    eval "$1"
    play "$3" wine "$4"
    eval "$2"
    [ "$(cat /tmp/status)" = 139 ] || return 0
    echo "Wine died of SIGSEGV as the run ended (try $try): played again"
  done
}

through=$(client_number 'Midi Through')
second_virmidi=$(client_number 'Virtual Raw MIDI 0-1')
aconnect "$through:0" "$second_virmidi:0"
for arch in win32 win64; do
  exe_name=${arch}_exe
  exe=${!exe_name}
  if [ -z "$exe" ]; then
    skip "$arch under Wine" "no $arch build was given"
    continue
  fi

  wine_run start_aseqdump 'dump_seen "15, controller 64, value 0" 150; stop_aseqdump' \
    "$inputs/short_and_long.txt" "$exe"
  expect_clean_run "$arch to aseqdump"
  expect_equal "$arch: aseqdump is device 0, running status expanded, the last one too, Wine's reset" \
    "$(dumped_events /tmp/dump)" "$short_and_long_events
$wine_reset_events"

  wine_run "start_raw_reader /dev/snd/midiC0D1" 'stop_raw_reader 150 "bf 78 00 40 00"' \
    /tmp/short_bytes_wine.txt "$exe"
  expect_clean_run "$arch short messages through Midi Through"
  expect_equal "$arch: Midi Through is device 0, bytes with running status, the last too" \
    "$(raw_bytes)" "90 3c 7f 40 7f 3c 00 40 00 b0 07 64 c0 05 06 f8 90 3c 7f 80 3c 40 $wine_reset_bytes"

  wine_run "start_raw_reader /dev/snd/midiC0D1" 'stop_raw_reader 150 "bf 78 00 40 00"' \
    "$inputs/long_bytes.txt" "$exe"
  expect_clean_run "$arch long message through Midi Through"
  expect_equal "$arch: long message bytes between short ones" "$(raw_bytes)" \
    "90 3c 7f f0 7e 7f 09 01 f7 90 3e 7f 3c 00 3e 00 $wine_reset_bytes"

  # Wine hands a long message to the sequencer as one event, which the kernel passes on at once:
  # towards a raw device with the default 4 KiB buffer, the rest would be dropped.
  wine_run "start_raw_reader /dev/snd/midiC0D1 16384" 'stop_raw_reader 300 "bf 78 00 40 00"' \
    "$inputs/sysex_8kib.txt" "$exe"
  expect_clean_run "$arch 8 KiB through Midi Through"
  expect_equal "$arch: 8 KiB system exclusive arrives intact" \
    "$(raw_bytes | tr ' ' '\n' | head -n 8192 | md5sum | cut -d' ' -f1)" "$sysex_8kib_md5"
  expect_equal "$arch 8 KiB: byte count" "$(wc -c < /tmp/raw)" $((8192 + 16 * 5))
done
aconnect -d "$through:0" "$second_virmidi:0"

exec 4>&-
wineserver -k
wineserver -w
