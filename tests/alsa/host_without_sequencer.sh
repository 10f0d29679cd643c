#!/usr/bin/env bash
# On a host without a sequencer (no /dev/snd/seq) and without a JACK server the program has no
# device 0: it must still read all of its input, print nothing (libasound would, left alone)
# and exit 0.
set -u
hexmidi=$1
if [ -e /dev/snd/seq ]; then
  echo "skipped: this host has a sequencer, so hexmidi would play to it"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

{
  printf 'm 7F3C90\nl 6 F0 7E 7F 09 01 F7\n'
  # A long message large enough that stopping early would leave input unread.
  printf 'l 8000 F0'
  for ((i = 0; i < 16383; i++)); do printf ' %02X %02X' $((i & 0x7F)) $(((i >> 7) & 0x7F)); done
  printf ' F7\nm 803C00\n'
} > "$work/input"

# A server name no one uses, so that a JACK server of another test is not taken for device 0.
export JACK_DEFAULT_SERVER="hexmidi-none-$$" JACK_NO_START_SERVER=1
# What the program leaves unread of a shared file position, cat prints.
( "$hexmidi" > "$work/stdout" 2> "$work/stderr"; echo $? > "$work/status"; cat > "$work/unread" ) \
  < "$work/input"

failed=0
check() {
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$2', expected '$3'"; failed=1; fi
}
check "exit status" "$(cat "$work/status")" 0
check "standard output" "$(cat "$work/stdout")" ""
check "standard error" "$(cat "$work/stderr")" ""
check "unread input bytes" "$(wc -c < "$work/unread")" 0
exit $failed
