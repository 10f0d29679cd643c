"""hexmidi playing "l" commands into a JACK server: long messages arrive whole and in place."""

import unittest

from jack_harness import (JackTestCase, hex_bytes, joined, reset_messages, servers,
                          test_program)


def messages(*texts):
    return [hex_bytes(text) for text in texts]

# What a period's MIDI port buffer holds, in bytes: a 32 KiB buffer less its own bookkeeping.
PERIOD_BUFFER = 32720


def system_exclusive(length):
    """F0, the non-commercial ID 7D, then data bytes in a pattern that shows any byte out of
    place, then F7."""
    data = bytes((i * 37 + (i >> 7)) & 0x7F for i in range(length - 3))
    return b"\xF0\x7D" + data + b"\xF7"


def l_command(message):
    return f"l {len(message):X} " + " ".join(f"{byte:02X}" for byte in message) + "\n"


class LongMessages(JackTestCase):
    def assert_plays(self, session, stream, expected, split=False):
        run, events = session.run_until_arrived(stream.encode(), expected, split=split)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
        self.assert_arrived(events, expected, split)
        frames = [event.frame for event in events]
        self.assertEqual(frames, sorted(frames), "event times go backwards")
        return events

    def test_messages_that_fit_a_period_arrive_as_one_event(self):
        session = self.session()
        cases = [
            ("GM System On", "l 6 F0 7E 7F 09 01 F7\n", [hex_bytes("F0 7E 7F 09 01 F7")]),
            # The bytes go as given: nothing is checked for F0, F7 or status bits.
            ("a control change", "l 3 B0 07 64\n", [hex_bytes("B0 07 64")]),
            # Behind a short message it no longer fits that period's buffer: it waits for the
            # next one rather than being split.
            ("nearly a whole buffer, after a short message", "m 05C1\n" + l_command(
                system_exclusive(PERIOD_BUFFER - 100)),
             [hex_bytes("C1 05"), system_exclusive(PERIOD_BUFFER - 100)]),
        ]
        for name, stream, expected in cases:
            with self.subTest(name):
                self.assert_plays(session, stream, expected + reset_messages())

    def test_large_messages_arrive_whole_between_the_messages_around_them(self):
        # Under PipeWire a period carries less than the port's buffer says, and from 1.3.81 to
        # 1.6.2 only a SysEx's first piece begins with F0; netjack2 takes events of 4 bytes: each
        # period must stay within what the engine carries, and every piece must arrive. The
        # lengths lie around what a period holds where PipeWire converts to UMP (8,184 bytes) and
        # where it does not (32,735), and many periods' worth. Into RTP-MIDI a SysEx is refused
        # whole: PipeWire's far end reads none (see winmm_standin/src/period_budget.h).
        around_a_period = (8000, 9000, 11000, 64 * 1024, 100_000, 1024 * 1024)
        lengths = {"jackd": around_a_period, "pipewire": around_a_period,
                   "netjack": (1000, 1 << 16), "rtp": (1000, 1 << 16)}
        for server in servers(*lengths):
            session = self.session(server=server)
            for length in lengths[server]:
                with self.subTest(server=server, length=length):
                    message = system_exclusive(length)
                    arrives = [message] if server != "rtp" else []
                    # Short messages never merge with a piece: the bytes alone place each of them.
                    events = self.assert_plays(
                        session, "m 7F3C90\n" + l_command(message) + "m 003C80\nm 05C1\n",
                        messages("90 3C 7F") + arrives + messages("80 3C 00", "C1 05") +
                        reset_messages(), split=True)
                    if arrives:
                        self.assertGreater(len(events) - 19, length // PERIOD_BUFFER)
            session.stop()

    def test_fields_are_read_as_the_c_library_reads_hex(self):
        session = self.session()
        cases = [
            ("over lines and any white space", "l\n6\nF0\n7E\t7F  \r\n09\v\f01\n\nF7",
             "F0 7E 7F 09 01 F7"),
            # Each field gives its low 8 bits.
            ("wider fields", "l 4 F0 17D FFFFFF01 1F7", "F0 7D 01 F7"),
            ("a count with leading zeros and an 0x", "l 0x0003 0xF0 0X7D f7", "F0 7D F7"),
        ]
        for name, stream, expected in cases:
            with self.subTest(name):
                self.assert_plays(session, stream, [hex_bytes(expected)] + reset_messages())

    def test_a_message_that_cannot_be_read_whole_sends_nothing(self):
        session = self.session()
        # Each is followed by a program change, which must arrive alone: the stream stays in
        # step.
        for stream in ("l 0", "l -3 F0 F7", "l FFFFFFFD F0 F7", "l 3 F0 zz F7", "l 3 F0 7D",
                       "l zz"):
            with self.subTest(stream=stream):
                self.assert_plays(session, stream + " m 05C1", [hex_bytes("C1 05")] +
                                  reset_messages())


    def test_a_stream_of_small_long_messages_arrives_whole_and_in_order(self):
        # Each long message is let go of once it is queued, long before it has left: none may
        # be lost, split, or overtaken by the short message written after it.
        stream, expected = [], []
        for i in range(2000):
            system_on = bytes([0xF0, 0x7E, i & 0x7F, 0x09, 0x01, 0xF7])  # device ID walks
            control = bytes([0xB0 | i & 0xF, i >> 4 & 0x7F, i >> 11 & 0x7F])
            packed = control[2] << 16 | control[1] << 8 | control[0]
            stream += [l_command(system_on), f"m {packed:06X}\n"]
            expected += [system_on, control]
        for server in servers("jackd", "pipewire", "netjack"):
            with self.subTest(server):
                self.assert_plays(self.session(server=server), "".join(stream),
                                  expected + reset_messages(), split=server == "netjack")


class ResetDuringALongMessage(JackTestCase):
    def test_reset_drops_the_rest_and_sends_only_what_reset_sends(self):
        client = test_program("HEXMIDI_RESET_CLIENT")
        session = self.session()
        # A megabyte takes some 30 periods to go out: each of these resets in the middle of it.
        # A quarter of one fits the program's ring whole, so every piece of it is queued before
        # the reset, which must still drop those that have not left.
        for wait_ms, length in ((0, 1 << 20), (40, 1 << 20), (100, 1 << 20), (0, 1 << 18)):
            with self.subTest(wait_ms=wait_ms, length=length):
                whole = b"\xF0\x7D" + bytes(i & 0x7F for i in range(2, length - 1)) + b"\xF7"
                session.start_recorder()
                run = session.run_program([client, str(wait_ms), str(length)])
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
                events = session.events()
                reset = reset_messages([(0, 0x3C)])
                sent = len(joined(events[2:-len(reset)]))
                self.assertLess(sent, len(whole), "the reset dropped nothing")
                # The System On before it had been let go of: the reset leaves it alone. What
                # went out of the long one is its start.
                self.assert_arrived(events, messages("90 3C 7F", "F0 7E 7F 09 01 F7") +
                                    [whole[:sent]] + reset, split=True)


if __name__ == "__main__":
    unittest.main()
