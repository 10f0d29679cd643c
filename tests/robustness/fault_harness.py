"""What the fault and bad-input tests add to the JACK harness of tests/e2e/jack_harness.py.

    PipedRun(env, binary)  hexmidi with its input on a pipe that a thread of ours writes, so that
                           a test can act (kill, stop, resume) while the input is still flowing,
                           and can tell whether the program read all of it.
        feed(*pieces)      starts writing: each piece is bytes, a number of seconds to pause, or
                           a function to call (to wait for the test, say); the input is closed
                           after the last piece.
        finish(timeout)    -> Finished(returncode, stdout, stderr, all_read, seconds_after_end)
                           all_read: every byte was taken (no broken pipe, no writer left
                           blocked); seconds_after_end: from closing the input to the exit.
    FaultSession(client_timeout_ms=None, ...)
                           a JackSession whose server can be given a longer client timeout.
    notes(count, channel)  `count` note-ons and note-offs, as stream text and as the bytes JACK
                           must deliver for them.
"""

import collections
import os
import subprocess
import tempfile
import threading
import time

import jack_harness

Finished = collections.namedtuple("Finished",
                                  "returncode stdout stderr all_read seconds_after_end")


class PipedRun:
    def __init__(self, env, binary=None, preexec_fn=None):
        # Output goes to files, so that a program that did print could never block on it.
        self._stdout = tempfile.TemporaryFile()
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [binary or jack_harness.hexmidi_binary()], stdin=subprocess.PIPE,
            stdout=self._stdout, stderr=self._stderr, env=env,
            preexec_fn=preexec_fn or jack_harness._terminate_with_parent)
        self._writer = None
        self._outcome = []
        self._closed_at = None

    def feed(self, *pieces):
        def write_all():
            try:
                for piece in pieces:
                    if isinstance(piece, (int, float)):
                        time.sleep(piece)
                    elif callable(piece):
                        piece()
                    else:
                        self.process.stdin.write(piece)
                        self.process.stdin.flush()
                self._closed_at = time.monotonic()
                self.process.stdin.close()
                self._outcome.append("all read")
            except BrokenPipeError:
                self._closed_at = time.monotonic()
                self._outcome.append("broken pipe")

        self._writer = threading.Thread(target=write_all, daemon=True)
        self._writer.start()

    def finish(self, timeout=60):
        try:
            if self._writer is not None:
                self._writer.join(timeout)
                if self._writer.is_alive():
                    raise AssertionError(f"the writer was left blocked for {timeout} s")
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"hexmidi did not finish within {timeout} s")
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
        exited_at = time.monotonic()
        self._stdout.seek(0)
        self._stderr.seek(0)
        after_end = exited_at - self._closed_at if self._closed_at is not None else None
        stdout, stderr = self._stdout.read(), self._stderr.read()
        self._stdout.close()
        self._stderr.close()
        return Finished(self.process.returncode, stdout, stderr, self._outcome == ["all read"],
                        after_end)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.process.stdin and not self.process.stdin.closed:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        self._stdout.close()
        self._stderr.close()


class FaultSession(jack_harness.JackSession):
    def __init__(self, client_timeout_ms=None, **kwargs):
        super().__init__(**kwargs)
        self.client_timeout_ms = client_timeout_ms

    def _launch_server(self):
        # As the harness starts its server, with the client timeout added when one is asked for.
        timeout = [] if self.client_timeout_ms is None else ["-t", str(self.client_timeout_ms)]
        with open(self._path("jackd.log"), "wb") as log:
            self._server = subprocess.Popen(
                ["jackd", "-r", "-S", *timeout, "-n", self.name, "-d", "dummy",
                 "-r", str(self.rate), "-p", str(self.period)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=self.env,
                preexec_fn=jack_harness._terminate_with_parent)
        jack_harness._wait_until(self._server_answers, 15, f"jackd {self.name} to answer")


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


def hexmidi_is_sanitized():
    return os.environ.get("HEXMIDI_SANITIZED") == "1"
