"""hexmidi playing into JACK while its surroundings fail: the server killed, stopped or failing
the exchange that joins it, the destination gone or stalled, the buffer of a long message refused,
standard input closed. Each run must read all of its input, print nothing, and exit 0 without
waiting out a bound it had no reason to: a program that waited on a dead destination, or gave up
reading, fails here. Times are judged against a reference run of the same shape on the same server
while it is healthy, taken in the same test, so that a crowded machine slows both alike."""

import os
import signal
import socket
import subprocess
import threading
import time
import unittest

import jack_harness
from jack_harness import JackSession, JackTestCase, hex_bytes, reset_messages, servers
from short_messages_test import SCHED_FIFO, SCHED_OTHER, real_time_priorities, scheduling

# What is still to come after the fault: 80000 short messages, then long ones. Each long message
# is waited for until the port lets it go, a period or so even with the destination gone, so
# there are only a few of them.
REST = (b"m 7F4090\nm 004080\n" * 40000 + b"l 3 F0 01 F7\n" * 20 +
        b"l 10000 F0 " + b"55 " * 0xFFFE + b"F7\n")
# Four megabytes leave over some 130 periods: time enough to bring the fault while they do.
LONG_MESSAGE = b"l 400000 F0 " + b"55 " * 0x3FFFFE + b"F7\n"


def notes(count, channel=0):
    """Note-ons and note-offs, every message with its own status byte so that the bytes JACK
    delivers are the stream's bytes, in order."""
    text, sent = [], []
    for i in range(count):
        key, on = (i // 2) % 128, i % 2 == 0
        status = (0x90 if on else 0x80) | channel
        velocity = 0x40 if on else 0
        text.append(f"m {velocity:02X}{key:02X}{status:02X}\n")
        sent.append(bytes([status, key, velocity]))
    return "".join(text).encode(), sent


def paced(data, pieces, pause):
    size = max(-(-len(data) // pieces), 1)
    return [item for i in range(0, len(data), size) for item in (data[i:i + size], pause)]


# The program's give-up bounds: a server silent this long at the start, or making no progress this
# long later, is given up.
ANSWER_BOUND, STALL_BOUND = 2.0, 5.0
# Half the shortest bound: a run that waited one out cannot come within it of its
# reference.
MARGIN = ANSWER_BOUND / 2


class FaultTestCase(JackTestCase):
    def reference(self, session, stdin=REST, signum=None):
        """The same input played on the same server while it is healthy, before the fault (or a
        signal once it waits for input): what a crowded machine costs the reading, the drain and
        the close shows in it, so that only a bound waited out shows against it. A fresh
        recorder then takes the place of the one that heard it."""
        run = session.piped_run()
        if signum is None:
            run.feed(stdin)
            result = run.finish()
        else:
            run.wait_for_input("the reference run to read its input")
            signalled = time.monotonic()
            run.process.send_signal(signum)
            result = run.finish()._replace(seconds_after_end=time.monotonic() - signalled)
        session.start_recorder()
        return result

    def assert_ended_well(self, finished, what, reference, bound=0.0):
        """Exit 0, silent, all read, and no bound beyond `bound` waited out after the input
        ended, against the reference run."""
        print(f"{what}: exit {finished.seconds_after_end:.3f} s after the end of input "
              f"({reference.seconds_after_end:.3f} s on a healthy server)")
        self.assertEqual((finished.returncode, finished.stdout, finished.stderr), (0, b"", b""))
        self.assertTrue(finished.all_read, "not all input was read")
        self.assertLess(finished.seconds_after_end,
                        reference.seconds_after_end + bound + MARGIN,
                        "the exit waited out a bound")

    def run_with_fault(self, session, head, fault, total):
        """Plays `head` (`total` bytes of it arrive when nothing fails) over about 0.6 s, brings
        on the fault once some of it has arrived, then plays REST once the fault has happened.
        The second half of the head's lines waits for the fault too, so that on a busy machine
        the fault still comes before all of it has arrived; the check below would say so."""
        fault_done = threading.Event()
        cut = head.find(b"\n", len(head) // 2) + 1 or len(head)
        run = session.piped_run()
        run.feed(*paced(head[:cut], 10, 0.03), fault_done.wait, *paced(head[cut:], 10, 0.03),
                 REST)
        session.wait_for_events(lambda events: events, "the first events to arrive")
        fault()
        fault_done.set()
        # What the recorder holds now, the fault done: all of the head would mean it came late.
        self.assertLess(len(jack_harness.joined(session.recorded())), total,
                        "the fault came after everything had arrived")
        return run.finish()


class ServerKilled(FaultTestCase):
    def test_killed_between_short_messages_or_during_a_long_one(self):
        head, sent = notes(20000)
        for what, stream, total in [("between short messages", head, len(b"".join(sent))),
                                    ("during a long message", LONG_MESSAGE, 0x400000)]:
            with self.subTest(what):
                session = self.session(sync=False)
                reference = self.reference(session)
                finished = self.run_with_fault(session, stream,
                                               lambda: session.signal_server(signal.SIGKILL),
                                               total)
                self.assert_ended_well(finished, f"server killed {what}", reference)
                session.stop()


class ServerFailsTheExchange(FaultTestCase):
    def test_a_server_that_fails_the_exchange_for_a_while_is_asked_again(self):
        # A server that answers late, or a client of the same name that takes our socket as it
        # joins another server, fails the exchange that opens a client; the server is there all
        # the while. The server's socket is set aside, and one that hangs up on every client
        # takes its place until hexmidi has failed to open and asks again; then the server's is
        # put back. jackd's libjack connects twice to open a client: once to see that a server
        # is there, once for the exchange; the third connection is hexmidi asking again.
        # PipeWire's connects once, and says so otherwise (an init failure, not a server error).
        for server, connections in (("jackd", 3), ("pipewire", 2)):
            with self.subTest(server):
                session = self.session(server=server)
                reference = self.reference(session, b"m 7F3C90\n")
                path = (f"/dev/shm/jack_{session.name}_{os.getuid()}_0" if server == "jackd" else
                        os.path.join(session.env["XDG_RUNTIME_DIR"], "pipewire-0"))
                os.rename(path, path + ".aside")
                refuser = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                refuser.bind(path)
                refuser.listen(8)
                run = session.piped_run()  # which opens its port before it reads
                refuser.settimeout(30)
                for _ in range(connections):
                    try:
                        refuser.accept()[0].close()
                    except TimeoutError:
                        self.fail("hexmidi did not ask the server again after a failed exchange")
                os.rename(path + ".aside", path)
                refuser.close()
                # The input ends once the note has arrived, and so the open has ended: the exit's
                # bound is not for an open that a crowded machine took seconds over (seen: 2.4 s,
                # amid the server's xruns), nor for PipeWire's link to be taken up at the
                # recorder's end after the connection shows (seen: 2.3 s under a sanitizer).
                note = bytes([0x90, 0x3C, 0x7F])
                session.write_until_recorded(run, b"m 7F3C90\n", note, "the note to arrive")
                finished = run.finish()
                self.assert_ended_well(finished, f"{server} failed the exchange at first",
                                       reference)
                self.assert_arrived(session.events(), [note] + reset_messages([(0, 0x3C)]))
                session.stop()


class DestinationGone(FaultTestCase):
    def test_killed_mid_stream(self):
        # A waiting server would stand still for the killed client, for ten of its timeouts.
        session = self.session(sync=False)
        reference = self.reference(session)
        head, sent = notes(20000)
        finished = self.run_with_fault(session, head,
                                       lambda: session.signal_recorder(signal.SIGKILL),
                                       len(b"".join(sent)))
        self.assert_ended_well(finished, "destination killed mid-stream", reference)

    def test_what_arrived_before_it_left_is_in_order_without_gaps(self):
        session = self.session()
        reference = self.reference(session)
        head, sent = notes(60000)
        arrived = []
        finished = self.run_with_fault(session, head, lambda: arrived.extend(session.events()),
                                       len(b"".join(sent)))
        self.assert_ended_well(finished, "destination left mid-stream", reference)
        data = [event.data for event in arrived]
        self.assertEqual(data, sent[:len(data)])


class DestinationStalled(FaultTestCase):
    def test_stopped_for_2_6_s_during_a_burst_loses_nothing(self):
        # A synchronous server waits for every client before it ends a cycle: the whole graph
        # stands still for the stopped client, the program's ring fills, and it stops reading
        # until the graph moves again. (An asynchronous one, as jackd runs by default, goes on
        # without the client and what reaches its port meanwhile is gone: no program can keep
        # that.) jackd waits ten times its client timeout for that (seen here: a client killed
        # outright held the server 5.0 s with the default 500 ms); past it, the server would end
        # cycles without the stalled client. The timeout is set, not left to the default, so
        # that the margin over the 2.6 s stall is this test's own.
        session = self.session(sync=True, client_timeout_ms=1000)
        # More than the program's ring holds, written over about 1.5 s.
        burst, sent = notes(150000)
        reference = self.reference(session, burst)
        run = session.piped_run()
        # The input ends after the stall, which the exit's second is not for (seen: 2.95 s).
        stall_over = threading.Event()
        run.feed(*paced(burst, 60, 0.025), stall_over.wait)
        session.wait_for_events(lambda events: events, "the burst to start arriving")
        session.signal_recorder(signal.SIGSTOP)
        try:
            time.sleep(2.6)  # the stall under test
        finally:
            session.signal_recorder(signal.SIGCONT)
            stall_over.set()
        finished = run.finish()
        self.assert_ended_well(finished, "destination stalled for 2.6 s", reference)
        data = [event.data for event in session.events()]
        self.assertEqual(len(data), len(sent) + len(reset_messages()))
        self.assertEqual(data, sent + reset_messages())


class LongMessageRefused(FaultTestCase):
    def test_refused_buffer_keeps_the_stream_in_step(self):
        if os.environ.get("HEXMIDI_SANITIZED") == "1":
            self.skipTest("a sanitizer's allocator must be the only one in the process, so no "
                          "other allocator can be preloaded into a sanitized build")
        allocator = os.environ.get("HEXMIDI_FAIL_ONE_ALLOCATION")
        if not allocator or not os.path.exists(allocator):
            self.skipTest("HEXMIDI_FAIL_ONE_ALLOCATION does not name the preloaded allocator")
        session = self.session()
        # An odd size nothing else in the process asks for.
        refused = 0x1F0F1
        head, head_sent = notes(2000)
        tail, tail_sent = notes(2000, channel=1)
        stream = (head + b"l 1F0F1 F0 " + b"7E " * (refused - 2) + b"F7\n" + tail +
                  b"l 3 F0 7E F7\n")
        reference = self.reference(session, stream)
        env = dict(session.env, LD_PRELOAD=allocator,
                   HEXMIDI_TEST_REFUSED_ALLOCATION=str(refused))
        run = session.piped_run(env=env)
        run.feed(stream)
        finished = run.finish()
        self.assert_ended_well(finished, "long message refused its buffer", reference)
        data = [event.data for event in session.events()]
        self.assertEqual(data, head_sent + tail_sent + [bytes([0xF0, 0x7E, 0xF7])] +
                         reset_messages())


class StandardInputUnusable(FaultTestCase):
    def test_closed_or_unreadable_input_ends_the_run_at_once(self):
        def directory_as_input():
            descriptor = os.open("/", os.O_RDONLY)
            os.dup2(descriptor, 0)
            os.close(descriptor)

        session = self.session()
        reference = self.reference(session, b"").seconds
        for what, prepare in [("closed", lambda: os.close(0)),
                              ("a directory, which answers every read with an error",
                               directory_as_input)]:
            with self.subTest(stdin=what):
                session.start_recorder()
                started = time.monotonic()
                process = subprocess.run([jack_harness.hexmidi_binary()], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, env=session.env, timeout=30,
                                         preexec_fn=prepare, check=False)
                seconds = time.monotonic() - started
                print(f"standard input {what}: the whole run took {seconds:.3f} s "
                      f"({reference:.3f} s on a healthy server)")
                self.assertEqual((process.returncode, process.stdout, process.stderr),
                                 (0, b"", b""))
                # The port is opened, reset and closed as for an empty input.
                self.assertEqual([event.data for event in session.events()], reset_messages())
                self.assertLess(seconds, reference + MARGIN, "the run waited out a bound")


class ServerStopsAnswering(FaultTestCase):
    """A server suspended (SIGSTOP) answers nothing, and libjack's calls would wait for it
    forever. The program gives such a server up ANSWER_BOUND after its last answer at the start,
    or STALL_BOUND after its last cycle later, and ends."""

    def started_then_stopped(self, **options):
        session = self.session(**options)
        self.addCleanup(session.signal_server, signal.SIGKILL)  # a stopped one ignores SIGTERM
        return session

    def test_stopped_before_the_open_costs_the_bound_then_no_port(self):
        session = self.started_then_stopped()
        reference = self.reference(session, b"m 7F3C90\n").seconds
        session.signal_server(signal.SIGSTOP)
        finished = session.run_hexmidi(b"m 7F3C90\n", timeout=30)
        print(f"server stopped before the open: the run took {finished.seconds:.3f} s "
              f"({reference:.3f} s on a healthy server)")
        self.assertEqual((finished.returncode, finished.stdout, finished.stderr), (0, b"", b""))
        self.assertLess(finished.seconds, reference + ANSWER_BOUND + MARGIN,
                        "the open was not given up within its bound")

    def test_stopped_once_connected_costs_one_bound(self):
        # Under PipeWire the open still waits for the link to carry data after the connection
        # shows (jackd's is over by then): a server stopped there is given up within the bound
        # of its silence, not the sum of each call's and the wait's. Either way the program
        # reads on, and after the end of its input ends within the drain's bound.
        for server in servers("jackd", "pipewire"):
            with self.subTest(server):
                session = self.started_then_stopped(server=server)
                reference = self.reference(session, b"m 7F3C90\n").seconds
                stopped = threading.Event()
                run = session.piped_run()
                run.feed(stopped.wait, b"m 7F3C90\n")
                session.wait_for_connection()
                session.signal_server(signal.SIGSTOP)
                stopped.set()
                finished = run.finish(timeout=60)
                print(f"{server} stopped once connected: the run took {finished.seconds:.3f} s "
                      f"({reference:.3f} s on a healthy server)")
                self.assertEqual((finished.returncode, finished.stdout, finished.stderr),
                                 (0, b"", b""))
                self.assertLess(finished.seconds, reference + STALL_BOUND + MARGIN,
                                "more than one bound was waited out")
                session.signal_server(signal.SIGKILL)
                session.stop()

    def test_stopped_while_a_note_sounds_and_the_input_then_ends(self):
        session = self.started_then_stopped()
        reference = self.reference(session, b"m 7F3C90\n")
        stopped = threading.Event()
        run = session.piped_run()
        run.feed(b"m 7F3C90\n", stopped.wait)
        session.wait_for_events(lambda events: events, "the note to arrive")
        session.signal_server(signal.SIGSTOP)
        stopped.set()
        finished = run.finish(timeout=30)
        self.assert_ended_well(finished, "server stopped while a note sounds", reference,
                               STALL_BOUND)

    def test_stopped_mid_run_with_more_to_come_than_the_ring_holds(self):
        # The ring fills and the program waits for room: a server that runs no cycle for the
        # stall bound is given up, and the rest of the input is read to its end, its writer with
        # it, rather than held until a signal.
        session = self.started_then_stopped()
        rest, _ = notes(300000)  # some 4.5 MB of ring records: four times what the ring holds
        reference = self.reference(session, rest)
        note = hex_bytes("90 3C 7F")
        run = session.piped_run()
        session.write_until_recorded(run, b"m 7F3C90\n", note, "the note to arrive")
        session.signal_server(signal.SIGSTOP)
        run.feed(rest)
        finished = run.finish(timeout=60)
        self.assert_ended_well(finished, "server stopped with the ring full", reference)

    def test_a_stop_signal_ends_the_wait_for_the_open_at_once(self):
        session = self.started_then_stopped()
        reference = self.reference(session, signum=signal.SIGTERM).seconds_after_end
        session.signal_server(signal.SIGSTOP)
        run = session.piped_run()
        run.process.stdin.write(b"m 7F3C90\n")
        run.process.stdin.flush()
        # The open's call runs on a thread of its own: a second thread is the sign it waits.
        tasks = f"/proc/{run.process.pid}/task"
        jack_harness._wait_until(lambda: len(os.listdir(tasks)) > 1, 10, "the open to wait")
        run.process.send_signal(signal.SIGTERM)
        signalled = time.monotonic()
        finished = run.finish(timeout=30)
        seconds = time.monotonic() - signalled
        print(f"SIGTERM while the open waits: ended {seconds:.3f} s later "
              f"({reference:.3f} s on a healthy server)")
        self.assertEqual((finished.returncode, finished.stdout, finished.stderr),
                         (-signal.SIGTERM, b"", b""))
        self.assertLess(seconds, reference + MARGIN, "the stop waited for the open's bound")


class ReadingPriority(FaultTestCase):
    def test_raised_while_it_has_a_port_and_lowered_at_once_when_the_port_is_lost(self):
        # Lowered while the program sleeps on its input: it may sleep there for a long while.
        for what, lose in (("server killed", JackSession.signal_server),
                           ("destination killed", JackSession.signal_recorder)):
            with self.subTest(what):
                session = self.session(sync=False)
                if not real_time_priorities(scheduling(session.server_pid)):
                    self.skipTest("jackd -R runs without real-time threads: this machine refuses "
                                  "them")
                run = session.piped_run()
                session.write_until_recorded(run, b"m 7F3C90\n", hex_bytes("90 3C 7F"),
                                             "the note to arrive")
                with_port = scheduling(run.process.pid)[run.process.pid]
                lose(session, signal.SIGKILL)
                jack_harness._wait_until(
                    lambda: scheduling(run.process.pid)[run.process.pid] == (SCHED_OTHER, 0), 10,
                    f"the reading thread to be lowered once the {what.split()[0]} was gone")
                finished = run.finish()
                print(f"{what}: reading thread {with_port} with a port, lowered without one")
                self.assertEqual((finished.returncode, finished.stdout, finished.stderr),
                                 (0, b"", b""))
                self.assertEqual(with_port[0], SCHED_FIFO)
                session.stop()


if __name__ == "__main__":
    unittest.main()
