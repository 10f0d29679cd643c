#!/usr/bin/env python3
"""A producer: five chords on a string ensemble, one line each, 0.6 seconds apart.

    examples/chords.py | build/hexmidi
    examples/chords.py 0.3 | build/hexmidi      # seconds per chord

hexmidi plays a command the moment the character after it arrives, so each line is flushed as
soon as it is written: without the flush, Python would hold the lines in its buffer and they
would all sound together when it exits.
"""

import sys
import time

CHANNEL = 1  # counted from 0: the second channel, status nibble 1
PROGRAM_STRING_ENSEMBLE = 48  # General MIDI program 49, counted from 0
VELOCITY = 56

# C major, A minor, F major, G major, then C major again, in close voicing around middle C (60).
CHORDS = [(60, 64, 67), (57, 60, 64), (53, 57, 60), (55, 59, 62), (48, 55, 60, 64)]


def short_message(status, first=0, second=0):
    """One "m" command: the message's first byte goes in the lowest byte of the packed value."""
    return f"m {second:02X}{first:02X}{status:02X}"


def note_on(key):
    return short_message(0x90 | CHANNEL, key, VELOCITY)


def note_off(key):
    return short_message(0x80 | CHANNEL, key, 0)


def send(*commands):
    print(" ".join(commands), flush=True)


def main():
    step = float(sys.argv[1]) if len(sys.argv) > 1 else 0.6
    send(short_message(0xC0 | CHANNEL, PROGRAM_STRING_ENSEMBLE))
    sounding = ()
    # Chords fall on a fixed grid, so the time spent writing never adds up.
    start = time.monotonic()
    for beat, chord in enumerate(CHORDS, start=1):
        send(*[note_off(key) for key in sounding], *[note_on(key) for key in chord])
        sounding = chord
        time.sleep(max(0.0, start + beat * step - time.monotonic()))
    send(*[note_off(key) for key in sounding])


if __name__ == "__main__":
    main()
