#!/usr/bin/env python3
"""Every example in examples/ reads, under hexmidi's grammar, as well-formed MIDI.

A stray lower-case m or l in a comment, a field with a digit too many or a status byte with the
wrong number of data bytes would each still play, wrongly, without a word from hexmidi; so the
examples are read here as hexmidi reads them, and each message is held against MIDI 1.0. The
producers are run with no pause between lines.
"""

import pathlib
import subprocess
import sys
import unittest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
PRODUCERS = ["scale.sh", "chords.py", "drums.sh"]
STREAM_FILES = ["gm-system-on.txt", "chime.txt"]

HEX_DIGITS = "0123456789abcdefABCDEF"
WHITE_SPACE = " \t\n\v\f\r"


class FieldFailed(Exception):
    pass


class CommandStream:
    """Reads the text as hexmidi does: a command character is any one character; a field is
    scanf's %x: white space, an optional sign, an optional 0x, then hex digits."""

    def __init__(self, text):
        self.text = text
        self.at = 0

    def next_character(self):
        if self.at >= len(self.text):
            return None
        self.at += 1
        return self.text[self.at - 1]

    def field(self):
        while self.at < len(self.text) and self.text[self.at] in WHITE_SPACE:
            self.at += 1
        start = self.at
        negative = self.text[self.at : self.at + 1] in ("-",)
        if self.text[self.at : self.at + 1] in ("+", "-"):
            self.at += 1
        if self.text[self.at : self.at + 2] in ("0x", "0X") and self.text[
            self.at + 2 : self.at + 3
        ] in tuple(HEX_DIGITS):
            self.at += 2
        digits_start = self.at
        while self.at < len(self.text) and self.text[self.at] in HEX_DIGITS:
            self.at += 1
        if self.at == digits_start:
            raise FieldFailed(f"no hex field at offset {start}: {self.text[start:start + 12]!r}")
        value = int(self.text[digits_start : self.at], 16)
        if value > 0xFFFFFFFF:
            raise FieldFailed(f"field wider than 32 bits at offset {start}")
        return (-value if negative else value) % (1 << 32)


def messages_in(text):
    """The messages a command stream sends: a list of byte strings, "m" and "l" alike."""
    stream = CommandStream(text)
    messages = []
    while (character := stream.next_character()) is not None:
        if character == "m":
            value = stream.field()
            if value >> 24:
                raise FieldFailed(f"short message {value:08X} has a fourth byte")
            messages.append(("m", value.to_bytes(3, "little")))
        elif character == "l":
            count = stream.field()
            if count >= 1 << 31:
                raise FieldFailed(f"negative count {count:08X}")
            data = bytes(stream.field() & 0xFF for _ in range(count))
            messages.append(("l", data))
    return messages


def data_byte_count(status):
    """How many data bytes follow a status byte, by MIDI 1.0."""
    kind = status & 0xF0
    if kind in (0x80, 0x90, 0xA0, 0xB0, 0xE0):
        return 2
    if kind in (0xC0, 0xD0):
        return 1
    return {0xF1: 1, 0xF2: 2, 0xF3: 1}.get(status, 0)


def problems_of(command, data):
    if command == "l":
        if len(data) < 2 or data[0] != 0xF0 or data[-1] != 0xF7:
            return [f"long message {data.hex(' ')} is not framed by F0 and F7"]
        if any(byte & 0x80 for byte in data[1:-1]):
            return [f"system exclusive {data.hex(' ')} has a status byte inside"]
        return []
    status = data[0]
    if not status & 0x80 or status in (0xF0, 0xF7):
        return [f"short message {data.hex(' ')} does not start with a status byte"]
    used = 1 + data_byte_count(status)
    if any(byte & 0x80 for byte in data[1:used]):
        return [f"short message {data.hex(' ')} has a data byte of 80 or more"]
    if any(data[used:]):
        return [f"short message {data.hex(' ')} carries bytes its status has no room for"]
    return []


def notes_left_sounding(messages):
    sounding = set()
    for _, data in messages:
        kind, channel = data[0] & 0xF0, data[0] & 0x0F
        if kind == 0x90 and data[2] > 0:
            sounding.add((channel, data[1]))
        elif kind == 0x80 or kind == 0x90:
            sounding.discard((channel, data[1]))
    return sounding


def producer_output(name):
    return subprocess.run(
        [str(EXAMPLES / name), "0"], check=True, capture_output=True, text=True, timeout=60
    ).stdout


class ExamplesTest(unittest.TestCase):
    def test_every_example_is_well_formed_midi(self):
        texts = {name: producer_output(name) for name in PRODUCERS}
        texts.update({name: (EXAMPLES / name).read_text() for name in STREAM_FILES})
        for name, text in texts.items():
            with self.subTest(example=name):
                messages = messages_in(text)
                self.assertTrue(messages, "sends nothing")
                for command, data in messages:
                    self.assertEqual(problems_of(command, data), [])

    def test_producers_let_go_of_every_note_they_strike(self):
        for name in PRODUCERS:
            with self.subTest(producer=name):
                self.assertEqual(notes_left_sounding(messages_in(producer_output(name))), set())

    def test_producers_write_one_line_per_beat(self):
        # Each line is one moment of the music, so a producer that wants its notes heard on
        # time must end every line, never leave a command waiting for the next one.
        for name in PRODUCERS:
            with self.subTest(producer=name):
                text = producer_output(name)
                self.assertTrue(text.endswith("\n"))
                self.assertTrue(all(line.strip() for line in text.splitlines()))

    def test_drums_play_on_channel_10_only(self):
        messages = messages_in(producer_output("drums.sh"))
        self.assertEqual({data[0] for _, data in messages}, {0x99, 0x89})

    def test_gm_system_on_is_the_universal_sysex_and_nothing_else(self):
        messages = messages_in((EXAMPLES / "gm-system-on.txt").read_text())
        self.assertEqual(messages, [("l", bytes([0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7]))])

    def test_chime_sends_its_chord_however_it_is_written(self):
        # The file writes its four notes four different ways; each must come out as a note on.
        messages = messages_in((EXAMPLES / "chime.txt").read_text())
        notes = [data[1] for _, data in messages if data[0] == 0x92]
        self.assertEqual(notes, [0x3C, 0x40, 0x43, 0x48])


if __name__ == "__main__":
    unittest.main(verbosity=2, argv=sys.argv[:1])
