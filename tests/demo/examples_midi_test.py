#!/usr/bin/env python3
"""Every example in examples/ plays as well-formed MIDI.

A stray lower-case m or l in a comment, a field with a digit too many or a status byte with the
wrong number of data bytes would each play wrongly, or not at all, without a word from hexmidi.
So each example goes through the program's own command loop (the program named by the first
argument prints what it sent), and each message is held against MIDI 1.0. Producers run with no
pause between lines.
"""

import pathlib
import subprocess
import sys
import unittest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
PRODUCERS = ["scale.sh", "chords.py", "drums.sh"]
STREAM_FILES = ["gm-system-on.txt", "chime.txt"]


def run(command, text=None):
    return subprocess.run(
        command, input=text, check=True, capture_output=True, text=True, timeout=60
    ).stdout


def data_byte_count(status):
    """How many data bytes follow a status byte, by MIDI 1.0."""
    if (status & 0xF0) in (0xC0, 0xD0):
        return 1
    if status < 0xF0:
        return 2
    return {0xF1: 1, 0xF2: 2, 0xF3: 1}.get(status, 0)


def problem_of(kind, data):
    if kind == "l":
        if len(data) < 2 or data[0] != 0xF0 or data[-1] != 0xF7:
            return "long message not framed by F0 and F7"
        if any(byte & 0x80 for byte in data[1:-1]):
            return "system exclusive with a status byte inside"
        return None
    if not data[0] & 0x80 or data[0] in (0xF0, 0xF7):
        return "short message that does not start with a status byte"
    used = 1 + data_byte_count(data[0])
    if any(byte & 0x80 for byte in data[1:used]):
        return "short message with a data byte of 80 or more"
    if any(data[used:]):
        return "short message with bytes its status has no room for"
    return None


class ExamplesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = {name: run([EXAMPLES / name, "0"]) for name in PRODUCERS}
        cls.text.update({name: (EXAMPLES / name).read_text() for name in STREAM_FILES})
        # Per example, what the program sent: ("m" or "l", its bytes), in order.
        cls.sent = {
            name: [(line[0], bytes.fromhex(line[1:])) for line in run([PROGRAM], text).splitlines()]
            for name, text in cls.text.items()
        }

    def test_every_example_is_well_formed_midi(self):
        for name, messages in self.sent.items():
            with self.subTest(example=name):
                self.assertTrue(messages, "sends nothing")
                # Each command letter sends one message: none in a comment, none whose fields
                # fail to read and drop it.
                text = self.text[name]
                self.assertEqual(len(messages), text.count("m") + text.count("l"))
                for kind, data in messages:
                    self.assertIsNone(problem_of(kind, data), f"{kind} {data.hex(' ')}")

    def test_producers_let_go_of_every_note_they_strike(self):
        for name in PRODUCERS:
            sounding = set()
            for _, data in self.sent[name]:
                kind, note = data[0] & 0xF0, (data[0] & 0x0F, data[1])
                if kind == 0x90 and data[2] > 0:
                    sounding.add(note)
                elif kind in (0x80, 0x90):
                    sounding.discard(note)
            self.assertEqual(sounding, set(), name)

    def test_producers_write_one_line_per_beat(self):
        # Each line is one moment of the music, so a producer that wants its notes heard on
        # time must end every line, never leave a command waiting for the next one.
        for name in PRODUCERS:
            with self.subTest(producer=name):
                self.assertTrue(self.text[name].endswith("\n"))
                self.assertTrue(all(line.strip() for line in self.text[name].splitlines()))

    def test_drums_play_on_channel_10_only(self):
        self.assertEqual({data[0] for _, data in self.sent["drums.sh"]}, {0x99, 0x89})

    def test_gm_system_on_is_the_universal_sysex_and_nothing_else(self):
        self.assertEqual(self.sent["gm-system-on.txt"], [("l", bytes.fromhex("F0 7E 7F 09 01 F7"))])

    def test_chime_sends_its_chord_however_it_is_written(self):
        # The file writes its four notes four different ways; each must come out as a note on.
        notes = [data[1] for _, data in self.sent["chime.txt"] if data[0] == 0x92]
        self.assertEqual(notes, [0x3C, 0x40, 0x43, 0x48])


if __name__ == "__main__":
    PROGRAM = sys.argv[1]
    unittest.main(verbosity=2, argv=sys.argv[:1])
