"""The bad-input catalogue through the program itself, playing into a private JACK server: each
input must be read to its end, with exit status 0 and nothing printed. Which messages each one
yields is checked in-process (bad_input_test.cpp); here the real stand-in and backend take them,
and for random bytes between commands, what arrives is checked too."""

import random
import unittest

from jack_harness import JackTestCase, reset_messages

MEGABYTE = 1 << 20


def random_bytes(generator, count):
    return bytes(generator.getrandbits(8) for _ in range(count))


def random_between_commands(generator, commands):
    """Random bytes with no "m" or "l" among them, between commands that end with a line end,
    the events JACK must deliver for those commands, and the notes left sounding."""
    text, sent, sounding = [], [], set()
    for i in range(commands):
        noise = random_bytes(generator, generator.randrange(64))
        text.append(noise.replace(b"m", b"").replace(b"l", b""))
        key = generator.randrange(128)
        if i % 3 == 0:
            text.append(b"\nl 3 F0 %02X F7\n" % key)
            sent.append(bytes([0xF0, key, 0xF7]))
        else:
            status = 0x90 if i % 3 == 1 else 0x80
            text.append(b"\nm 40%02X%02X\n" % (key, status))
            sent.append(bytes([status, key, 0x40]))
            if status == 0x90:
                sounding.add((0, key))
            else:
                sounding.discard((0, key))
    return b"".join(text), sent, sounding


def catalogue():
    """(what, input)"""
    generator = random.Random(20261208)
    white_space = (b" \t\n\r\v\f  \n" * (100 * MEGABYTE // 10 + 1))[:100 * MEGABYTE]
    return [
        ("negative counts",
         b"l -80000000 m 7F3C90\nl 8000000F F0 F7 m 003C80\nl -7FFFFFFF 1 2\nl -1\n"),
        ("count 7FFFFFFF, then the end of input", b"m 7F3C90\nm 003C80\nl 7FFFFFFF"),
        ("count 7FFFFFFF, a few bytes, then the end", b"l 7FFFFFFF F0 7E 7F 09 01 F7\n"),
        ("fields cut off by the end of input", b"m 7F3C90 m 003C80 l 3 F0 7E"),
        ("a sign cut off by the end of input", b"m 7F3C90 m 003C80 m -"),
        ("NUL and 0x1A bytes",
         b"\x00m 7F3C90\x00m 003C80\x1am 7F3C90\x1a\x1al 2 F0\x00F7 \x00m 003C80\x1a"),
        ("8 MB of digits in one field",
         b"m " + b"0" * (8 * MEGABYTE) + b"7F3C90 m " + b"F" * (8 * MEGABYTE) +
         b" m 003C80\n"),
        ("100 MB of white space between commands",
         b"m 7F3C90\n" + white_space + b"m 003C80" + white_space),
        ("1 MB of random binary", random_bytes(generator, MEGABYTE)),
    ]


class BadInputThroughJack(JackTestCase):
    def play(self, session, stream):
        session.start_recorder()
        run = session.piped_run()
        run.feed(stream)
        finished = run.finish(timeout=120)
        self.assertEqual((finished.returncode, finished.stdout, finished.stderr), (0, b"", b""))
        self.assertTrue(finished.all_read, "not all input was read")
        return finished, [event.data for event in session.events()]

    def test_every_input_is_read_to_the_end_silently(self):
        session = self.session()
        for what, stream in catalogue():
            with self.subTest(input=what):
                finished, _ = self.play(session, stream)
                print(f"{what}: exit {finished.seconds_after_end:.3f} s after the end of input")

    def test_random_bytes_between_commands_leave_the_commands_intact(self):
        session = self.session()
        stream, sent, sounding = random_between_commands(random.Random(7), 3000)
        _, arrived = self.play(session, stream)
        self.assertEqual(arrived, sent + reset_messages(sounding))


if __name__ == "__main__":
    unittest.main()
