"""hexmidi playing "m" commands into a JACK server: the bytes that arrive, and when."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from jack_harness import JackTestCase, hex_bytes, reset_messages


def messages(*texts):
    return [hex_bytes(text) for text in texts]


SCHED_OTHER, SCHED_FIFO, SCHED_RR = 0, 1, 2


def scheduling(pid):
    """{thread id: (policy, real-time priority)} of a process: fields 41 and 40 of each stat."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()  # from field 3 on
        except (FileNotFoundError, ProcessLookupError):
            continue  # a short-lived thread (a server call's) ended since the listing
        threads[int(tid)] = (int(fields[38]), int(fields[37]))
    return threads


def real_time_priorities(threads):
    return [priority for policy, priority in threads.values() if policy in (SCHED_FIFO, SCHED_RR)]


class ShortMessageBytes(JackTestCase):
    def assert_plays(self, session, stream, expected):
        session.start_recorder()
        run = session.run_hexmidi(stream.encode())
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
        events = session.events()
        self.assert_arrived(events, expected)
        frames = [event.frame for event in events]
        self.assertEqual(frames, sorted(frames), "event times go backwards")

    def test_streams_arrive_as_the_midi_standard_has_them(self):
        session = self.session()
        # (stream, messages before the reset, (channel, key) sounding at the end)
        cases = [
            ("m 7F3C90", messages("90 3C 7F"), [(0, 0x3C)]),
            # Running status: a value below 80 reuses the last channel status; JACK is always
            # handed whole messages.
            ("m 7F3C90\nm 7F40\nm 6043", messages("90 3C 7F", "90 40 7F", "90 43 60"),
             [(0, 0x3C), (0, 0x40), (0, 0x43)]),
            # One data byte for Cn, Dn, F1, F3; two for En and F2; none for F6, F8-FF. Bits
            # 24-31 and the bytes a status does not take are ignored.
            ("m 12345C3 m 7F55D4 m 345678E5 m 2000F2 m 11F3 m 7FF1 m 3C4F6 m FFFFF8",
             messages("C3 45", "D4 55", "E5 78 56", "F2 00 20", "F3 11", "F1 7F", "F6", "F8"),
             []),
            # Real-time bytes keep running status; F1-F6 end it, and a data byte with no status
            # sends nothing. System exclusive never goes as a short message.
            ("m 7F3C91 m FE m 7F40 m F6 m 7F43 m F0 m F7 m F4 m F5",
             messages("91 3C 7F", "FE", "91 40 7F", "F6"), [(1, 0x3C), (1, 0x40)]),
            ("m 7F40", [], []),
            # Characters other than "m" and "l" are skipped; a field that fails to read sends
            # nothing and the character that stopped it is read as a command.
            ("zz; m m 7F3C90 ?m\n\tm 7F4590", messages("90 3C 7F", "90 45 7F"),
             [(0, 0x3C), (0, 0x45)]),
            ("", [], []),
        ]
        for stream, sent, sounding in cases:
            with self.subTest(stream=stream):
                self.assert_plays(session, stream, sent + reset_messages(sounding))

    def test_reset_ends_exactly_the_notes_still_sounding(self):
        session = self.session()
        cases = [
            # Note-offs in channel order, then key order, whatever order the notes started in.
            ("m 7F4092 m 7F3C92 m 7F3091 m 7F7F9F m 01009F",
             [(2, 0x40), (2, 0x3C), (1, 0x30), (15, 0x7F), (15, 0x00)]),
            # A note-off or a note-on with velocity 0 ends a note; another channel's does not.
            ("m 7F3C90 m 7F4090 m 403C80 m 004090 m 7F3C91 m 003C82", [(1, 0x3C)]),
            # A note started twice sounds once.
            ("m 7F3C90 m 203C90", [(0, 0x3C)]),
        ]
        for stream, sounding in cases:
            with self.subTest(stream=stream):
                session.start_recorder()
                run = session.run_hexmidi(stream.encode())
                self.assertEqual(run.returncode, 0)
                reset = reset_messages(sounding)
                self.assert_arrived(session.events()[-len(reset):], reset)


class EndOfInput(JackTestCase):
    def test_the_last_message_before_the_end_arrives(self):
        session = self.session()
        burst = "".join(f"m 7F{key:02X}90\nm 00{key:02X}80\n" for key in range(128)) * 20
        # (what comes first, the last message, what is sounding at the end)
        cases = [
            ("no newline after the field", "m 7F3C90", "90 3C 7F", [(0, 0x3C)]),
            ("after a burst longer than a period's buffer", burst + "m 7F3C90\n", "90 3C 7F",
             [(0, 0x3C)]),
            ("right after a long message", "l 3 F0 7D F7 m 12C5", "C5 12", []),
        ]
        for name, stream, last, sounding in cases:
            with self.subTest(name):
                session.start_recorder()
                run = session.run_hexmidi(stream.encode())
                self.assertEqual(run.returncode, 0)
                reset = reset_messages(sounding)
                self.assert_arrived(session.events()[-len(reset) - 1:], [hex_bytes(last)] + reset)


class OneShotRuns(JackTestCase):
    """One note per process, the way scripts use hexmidi: no run may lose its messages, not
    even the first ones after the connection is made."""

    def assert_every_run_arrives(self, session, runs=20):
        for key in range(0x30, 0x30 + runs):
            expected = [bytes([0x90, key, 0x7F])] + reset_messages([(0, key)])
            run, events = session.run_until_arrived(f"m 7F{key:02X}90\n".encode(), expected)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
            self.assert_arrived(events, expected)

    def test_under_jackd(self):
        self.assert_every_run_arrives(self.session())

    def test_under_pipewire(self):
        self.assert_every_run_arrives(self.session(server="pipewire"))

    def test_under_netjack(self):
        self.assert_every_run_arrives(self.session(server="netjack"))

    def test_under_rtp(self):
        self.assert_every_run_arrives(self.session(server="rtp"))


class Timing(JackTestCase):
    def test_a_pause_between_lines_is_kept_to_the_frame(self):
        session = self.session(sync=False)

        def play():
            run = session.piped_run()
            # Opening the port comes before the first read: the program waiting for its input is
            # the sign that it is over, so that the pause the program sees is the one written
            # here. The dummy driver's clock also falls behind by a few periods while the server
            # reorders its graph for a new connection: let that pass.
            run.wait_for_input("the program to open its port and read")
            session.wait_for_cycles(20)
            # (before, after) each write: on a busy machine this writer, at normal priority, may
            # be held up on either side of a write, and the write lies between.
            written = []
            for line in (b"m 7F3C90\n", b"m 7F4090\n"):
                if written:
                    time.sleep(0.3)  # the pause under test
                before = time.monotonic()
                run.process.stdin.write(line)
                run.process.stdin.flush()
                written.append((before, time.monotonic()))
            self.assertEqual(run.finish().returncode, 0)
            return written

        expected = messages("90 3C 7F", "90 40 7F") + reset_messages([(0, 0x3C), (0, 0x40)])
        written, events = session.play_until_arrived(play, expected)
        self.assert_arrived(events, expected)
        # The pause as written, which a busy machine may stretch, is what the frames must keep.
        shortest = (written[1][0] - written[0][1]) * 48000
        longest = (written[1][1] - written[0][0]) * 48000
        gap = events[1].frame - events[0].frame
        print(f"a pause of {shortest:.0f} to {longest:.0f} frames written: {gap} frames between "
              "the two events")
        self.assertGreater(gap, shortest - 1200)
        self.assertLess(gap, longest + 1200)

    def test_a_live_stream_is_read_at_real_time_priority_and_a_file_is_not(self):
        session = self.session(realtime=True, sync=False)
        server = real_time_priorities(scheduling(session.server_pid))
        if not server:
            self.skipTest("jackd -R runs without real-time threads: this machine refuses them")
        # The thread is raised as the open ends, before the first message is read, so an
        # arrival is the sign to look. The file keeps the port busy for seconds whatever the
        # machine's speed: JACK passes at most 2,727 of its messages a period.
        with tempfile.TemporaryFile() as stream_file:
            stream_file.write(b"m 7F3C90\nm 003C80\n" * 1_500_000)
            stream_file.seek(0)
            for name, stdin in (("a pipe", subprocess.PIPE), ("a regular file", stream_file)):
                with self.subTest(name):
                    session.start_recorder()
                    run = session.piped_run(stdin=stdin)
                    if stdin is subprocess.PIPE:
                        session.write_until_recorded(run, b"m 7F3C90\n", hex_bytes("90 3C 7F"),
                                                     "the first note")
                    session.wait_for_events(lambda events: events, "the first note to arrive")
                    threads = scheduling(run.process.pid)
                    run.process.send_signal(signal.SIGTERM)
                    run.finish()
                    reading = threads.pop(run.process.pid)
                    # Below the server's threads and its own process thread, which JACK raised.
                    below = real_time_priorities(threads) + [max(server)]
                    print(f"{name}: reading thread {reading}, to be below {below}")
                    if stdin is subprocess.PIPE:
                        self.assertEqual(reading[0], SCHED_FIFO)
                        self.assertLess(reading[1], min(below))
                    else:
                        self.assertEqual(reading, (SCHED_OTHER, 0))


class ServerGoingAway(JackTestCase):
    def test_the_program_reads_on_to_the_end_and_exits_0(self):
        session = self.session()
        run = session.piped_run()
        session.wait_for_connection()
        run.process.stdin.write(b"m 7F3C90\n")
        run.process.stdin.flush()
        # The server goes while the program plays to it.
        session.wait_for_events(lambda events: events, "the first note to arrive")
        session.stop_server()
        # Everything after this answers "no driver" at once: a megabyte of input takes no
        # longer than reading it.
        run.feed(b"m 7F4090\nl 3 F0 01 F7\n" * 50000)
        run = run.finish()
        print(f"after the server went away: rest of input read in {run.seconds_after_end:.2f} s")
        self.assertEqual((run.returncode, run.stdout, run.stderr, run.all_read),
                         (0, b"", b"", True))
        # The input is read as it is written; a program that waited on the gone server for each
        # message would still be at it long after the input ended.
        self.assertLess(run.seconds_after_end, 1.0, "no exit within a second of the input's end")


if __name__ == "__main__":
    unittest.main()
