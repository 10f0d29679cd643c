"""hexmidi playing into JACK while its surroundings fail: the server killed, the destination gone
or stalled, the buffer of a long message refused, standard input closed. Each run must read all
of its input, print nothing, and exit 0 within a second of the end of its input: a program that
waited on a dead destination, or gave up reading, fails here."""

import os
import shutil
import signal
import subprocess
import threading
import time
import unittest

import jack_harness
from fault_harness import FaultSession, PipedRun, hexmidi_is_sanitized, notes
from jack_harness import JackTestCase, reset_messages

# What is still to come after the fault: 80000 short messages, then long ones. Each long message
# is waited for until the port lets it go, a period or so even with the destination gone, so
# there are only a few of them.
REST = (b"m 7F4090\nm 004080\n" * 40000 + b"l 3 F0 01 F7\n" * 20 +
        b"l 10000 F0 " + b"55 " * 0xFFFE + b"F7\n")


def paced(data, pieces, pause):
    size = -(-len(data) // pieces)
    return [item for i in range(0, len(data), size) for item in (data[i:i + size], pause)]


class FaultTestCase(JackTestCase):
    def fault_session(self, **kwargs):
        if shutil.which("jackd") is None or shutil.which("jack_wait") is None:
            self.skipTest("jackd is not installed (Debian package jackd2)")
        jack_harness.hexmidi_binary()
        jack_harness.test_program("HEXMIDI_JACK_RECORDER")
        session = FaultSession(**kwargs)
        self.addCleanup(session.stop)
        return session.start()

    def assert_ended_well(self, finished, what):
        print(f"{what}: exit {finished.seconds_after_end:.3f} s after the end of input")
        self.assertEqual((finished.returncode, finished.stdout, finished.stderr), (0, b"", b""))
        self.assertTrue(finished.all_read, "not all input was read")
        self.assertLess(finished.seconds_after_end, 1.0, "no exit within a second of the end")

    def run_with_fault(self, session, head, fault, rest=REST):
        """Plays `head` over about 0.6 s, brings on the fault 0.3 s after hexmidi has connected,
        then plays `rest` once the fault has happened."""
        fault_done = threading.Event()
        run = PipedRun(session.env)
        self.addCleanup(run.kill)
        run.feed(*paced(head, 20, 0.03), fault_done.wait, rest)
        session.wait_for_connection()
        time.sleep(0.3)
        fault()
        fault_done.set()
        return run.finish()


class ServerKilled(FaultTestCase):
    def test_killed_between_short_messages(self):
        session = self.fault_session()
        head, _ = notes(20000)
        finished = self.run_with_fault(session, head,
                                       lambda: session.signal_server(signal.SIGKILL))
        self.assert_ended_well(finished, "server killed between short messages")

    def test_killed_during_a_long_message(self):
        # A megabyte of system exclusive takes JACK a few seconds to pass on, a period's buffer
        # at a time; the server dies while the program waits for it.
        session = self.fault_session()
        head = b"l 100000 F0 " + b"55 " * 0xFFFFE + b"F7\n"
        finished = self.run_with_fault(session, head,
                                       lambda: session.signal_server(signal.SIGKILL))
        self.assert_ended_well(finished, "server killed during a long message")


class DestinationGone(FaultTestCase):
    def test_killed_mid_stream(self):
        session = self.fault_session()
        head, _ = notes(20000)
        finished = self.run_with_fault(session, head,
                                       lambda: session.signal_recorder(signal.SIGKILL))
        self.assert_ended_well(finished, "destination killed mid-stream")

    def test_what_arrived_before_it_left_is_in_order_without_gaps(self):
        session = self.fault_session()
        head, sent = notes(60000)
        arrived = []
        finished = self.run_with_fault(session, head,
                                       lambda: arrived.extend(session.events()))
        self.assert_ended_well(finished, "destination left mid-stream")
        data = [event.data for event in arrived]
        self.assertGreater(len(data), 0, "nothing arrived before the destination left")
        self.assertEqual(data, sent[:len(data)])


class DestinationStalled(FaultTestCase):
    def test_stopped_for_2_6_s_during_a_burst_loses_nothing(self):
        # A synchronous server waits for every client before it ends a cycle: the whole graph
        # stands still for the stopped client, the program's ring fills, and it stops reading
        # until the graph moves again. jackd waits ten times its client timeout for that (seen
        # here: a client killed outright held the server 5.0 s with the default 500 ms); past it,
        # the server would end cycles without the stalled client, and whatever reached its port
        # meanwhile would be gone. The timeout is set, not left to the default, so that the
        # margin over the 2.6 s stall is this test's own.
        session = self.fault_session(client_timeout_ms=1000)
        # More than the program's ring holds, written over about 1.5 s.
        burst, sent = notes(150000)
        run = PipedRun(session.env)
        self.addCleanup(run.kill)
        run.feed(*paced(burst, 60, 0.025))
        session.wait_for_connection()
        time.sleep(0.3)
        session.signal_recorder(signal.SIGSTOP)
        try:
            time.sleep(2.6)
        finally:
            session.signal_recorder(signal.SIGCONT)
        finished = run.finish()
        self.assert_ended_well(finished, "destination stalled for 2.6 s")
        data = [event.data for event in session.events()]
        self.assertEqual(len(data), len(sent) + len(reset_messages()))
        self.assertEqual(data, sent + reset_messages())


class LongMessageRefused(FaultTestCase):
    def test_refused_buffer_keeps_the_stream_in_step(self):
        if hexmidi_is_sanitized():
            self.skipTest("a sanitizer's allocator must be the only one in the process, so no "
                          "other allocator can be preloaded into a sanitized build")
        allocator = os.environ.get("HEXMIDI_FAIL_ONE_ALLOCATION")
        if not allocator or not os.path.exists(allocator):
            self.skipTest("HEXMIDI_FAIL_ONE_ALLOCATION does not name the preloaded allocator")
        session = self.fault_session()
        # An odd size nothing else in the process asks for.
        refused = 0x1F0F1
        head, head_sent = notes(2000)
        tail, tail_sent = notes(2000, channel=1)
        stream = (head + b"l 1F0F1 F0 " + b"7E " * (refused - 2) + b"F7\n" + tail +
                  b"l 3 F0 7E F7\n")
        env = dict(session.env, LD_PRELOAD=allocator,
                   HEXMIDI_TEST_REFUSED_ALLOCATION=str(refused))
        run = PipedRun(env)
        self.addCleanup(run.kill)
        run.feed(stream)
        finished = run.finish()
        self.assert_ended_well(finished, "long message refused its buffer")
        data = [event.data for event in session.events()]
        self.assertEqual(data, head_sent + tail_sent + [bytes([0xF0, 0x7E, 0xF7])] +
                         reset_messages())


class StandardInputUnusable(FaultTestCase):
    def run_with_stdin(self, session, prepare_stdin):
        """hexmidi with standard input set up by prepare_stdin in the child before it starts."""
        def child_setup():
            jack_harness._terminate_with_parent()
            prepare_stdin()

        started = time.monotonic()
        process = subprocess.run([jack_harness.hexmidi_binary()], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=session.env, timeout=30,
                                 preexec_fn=child_setup, check=False)
        return process, time.monotonic() - started

    def test_closed_or_unreadable_input_ends_the_run_at_once(self):
        def directory_as_input():
            descriptor = os.open("/", os.O_RDONLY)
            os.dup2(descriptor, 0)
            os.close(descriptor)

        session = self.fault_session()
        for what, prepare in [("closed", lambda: os.close(0)),
                              ("a directory, which answers every read with an error",
                               directory_as_input)]:
            with self.subTest(stdin=what):
                session.start_recorder()
                process, seconds = self.run_with_stdin(session, prepare)
                print(f"standard input {what}: the whole run took {seconds:.3f} s")
                self.assertEqual((process.returncode, process.stdout, process.stderr),
                                 (0, b"", b""))
                # The port is opened, reset and closed as for an empty input.
                self.assertEqual([event.data for event in session.events()], reset_messages())
                self.assertLess(seconds, 1.0)


if __name__ == "__main__":
    unittest.main()
