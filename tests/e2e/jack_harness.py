"""Runs build/hexmidi against a private JACK server and records what reaches the server.

Everything a test starts is stopped by its process id (SIGTERM, then SIGKILL after a timeout),
also when the test fails; if the test process itself is killed, what it started is sent SIGTERM
by the kernel. Each server gets a name no other running test holds (see jack_server_names.py),
so test files can run in parallel.

Paths come from the environment, which ctest sets (see tests/e2e/CMakeLists.txt):
    HEXMIDI_BINARY         the hexmidi program under test
    HEXMIDI_JACK_RECORDER  the recording client, tests/e2e/jack_recorder.cpp
    HEXMIDI_RESET_CLIENT   tests/e2e/long_message_reset_client.cpp (one test's own driver)

API
    JackTestCase(unittest.TestCase)
        Base class. self.session(period=256, rate=48000, recorder=True) starts a JackSession
        whose stop() is registered with addCleanup, and skips the test (saying why) when jackd
        or a binary is missing.

    JackSession(period=256, rate=48000)
        start(recorder=True)  starts `jackd -r -S -n <name> -d dummy -r <rate> -p <period>`,
                              waits until it answers, then (by default) starts the recorder and
                              waits for its ready file. Its input port "recorder:in" is then the
                              first MIDI input port, so hexmidi connects to it.
        name, env             once started: the server's name, and the environment for anything
                              run against it (JACK_DEFAULT_SERVER=<name>, JACK_NO_START_SERVER=1).
        run_hexmidi(stdin: bytes, timeout=60) -> Run
                              runs hexmidi to its end with the given input.
        start_hexmidi(stdin=PIPE) -> subprocess.Popen
                              hexmidi with a pipe on stdin (or the file given), for tests that
                              write with timing or act while it runs;
                              finish with finish_hexmidi(process, rest=None, timeout=60) -> Run
                              (writes `rest`, closes stdin, waits, collects the output).
        wait_for_connection(timeout=15)
                              waits until some client's port is connected to the recorder's
                              input: hexmidi has opened its port and is reading.
        run_program(argv, stdin=b"", timeout=60) -> Run
                              runs any other program against this server.
        stop_server()         stops jackd while clients still use it.
        signal_server(signum), signal_recorder(signum)
                              send jackd or the recorder a signal (to kill or stop it outright).
        events() -> list[Event]
                              stops the recorder (it writes out everything first) and returns
                              every event it recorded, in order. Fails the run if the recorder
                              lost any. Call it after hexmidi has exited.
        start_recorder()      starts a fresh recorder on the same server, so that one server
                              can serve several runs, each with events() of its own.
        stop()                stops whatever is still running. Idempotent.

    run_without_server(stdin: bytes, timeout=60) -> Run
        runs hexmidi with a server name that nothing answers to.
    hexmidi_binary() -> str   the program under test (skips the test when it is not set)
    test_program(variable) -> str
                              another program ctest names in the environment (skips likewise)
    environment_without_server() -> dict
                              the environment naming a server that nothing answers to.

    Run: returncode, stdout (bytes), stderr (bytes), seconds (wall clock)
    Event: frame (absolute frame time), data (bytes)
    joined(events) -> bytes   the bytes of consecutive events, one after another
    hex_bytes(text) -> bytes  "90 3C 7F" -> b"\\x90\\x3c\\x7f"
    reset_messages(sounding=()) -> list[bytes]
                              what a reset sends: a note-off (8n kk 00) for each (channel, key)
                              sounding, in channel then key order, then sustain off (Bn 40 00)
                              on channels 0 to F.
"""

import collections
import ctypes
import itertools
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from jack_server_names import claim_server_name, reclaim_dead_slots

Run = collections.namedtuple("Run", "returncode stdout stderr seconds")
Event = collections.namedtuple("Event", "frame data")

_names = itertools.count()


def hex_bytes(text):
    return bytes(int(field, 16) for field in text.split())


def reset_messages(sounding=()):
    note_offs = [bytes([0x80 | channel, key, 0]) for channel, key in sorted(sounding)]
    return note_offs + [bytes([0xB0 | channel, 0x40, 0]) for channel in range(16)]


def joined(events):
    return b"".join(event.data for event in events)


def hexmidi_binary():
    return _binary("HEXMIDI_BINARY")


def test_program(variable):
    return _binary(variable)


def environment_without_server():
    return _environment(_unique_server_name())


def _binary(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        raise unittest.SkipTest(f"{variable} does not name a program (run the tests via ctest)")
    return path


def _stop_process(process, timeout=5.0):
    """SIGTERM, then SIGKILL after timeout: by pid, never by name."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def _wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def _unique_server_name():
    """A name no server has: for running with no server."""
    return f"hexmidi-e2e-none-{os.getpid()}-{next(_names)}"


_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _terminate_with_parent():
    """Run in each child before it starts: a test process killed outright (by a ctest timeout,
    say) must not leave a server or client behind."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


def _environment(server_name):
    env = dict(os.environ)
    env["JACK_DEFAULT_SERVER"] = server_name
    env["JACK_NO_START_SERVER"] = "1"
    return env


def _collect(process, stdin, timeout, started):
    try:
        stdout, stderr = process.communicate(stdin, timeout=timeout)
    except subprocess.TimeoutExpired:
        _stop_process(process)
        raise AssertionError(f"hexmidi did not finish within {timeout} s")
    return Run(process.returncode, stdout, stderr, time.monotonic() - started)


def run_without_server(stdin, timeout=60):
    hexmidi = _binary("HEXMIDI_BINARY")
    started = time.monotonic()
    process = subprocess.Popen([hexmidi], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=_environment(_unique_server_name()))
    return _collect(process, stdin, timeout, started)


class _RegistryFull(AssertionError):
    pass


class JackSession:
    def __init__(self, period=256, rate=48000):
        self.period = period
        self.rate = rate
        self._name = None
        self.name = None
        self.env = None
        self._directory = tempfile.mkdtemp(prefix="hexmidi-e2e-")
        self._server = None
        self._recorder = None
        self._hexmidi = []
        self._events = None
        self._recordings = 0

    def _events_path(self):
        return self._path(f"events{self._recordings}.txt")

    def _path(self, name):
        return os.path.join(self._directory, name)

    def start(self, recorder=True):
        self._start_server()
        if recorder:
            self.start_recorder()
        return self

    def _start_server(self):
        self._name = claim_server_name()
        self.name = self._name.name
        self.env = _environment(self.name)
        try:
            self._launch_server()
        except _RegistryFull:
            # Servers that died without a clean exit hold the registry's slots: take them back
            # and try once more.
            reclaim_dead_slots()
            self._launch_server()

    def _launch_server(self):
        with open(self._path("jackd.log"), "wb") as log:
            self._server = subprocess.Popen(
                ["jackd", "-r", "-S", "-n", self.name, "-d", "dummy",
                 "-r", str(self.rate), "-p", str(self.period)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=self.env,
                preexec_fn=_terminate_with_parent)
        _wait_until(self._server_answers, 15, f"jackd {self.name} to answer")

    def _server_answers(self):
        if self._server.poll() is not None:
            with open(self._path("jackd.log"), "rb") as log:
                text = log.read().decode(errors="replace")
            if "Too many servers" in text:
                raise _RegistryFull(text)
            raise AssertionError(f"jackd exited: {text}")
        return subprocess.run(["jack_wait", "-c", "-s", self.name], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=False).stdout.startswith(b"running")

    def start_recorder(self):
        _stop_process(self._recorder)
        self._recorder = None
        # Joining a server can fail now and then on a machine under heavy load (the server
        # times the request out); a second and third try costs little and a test that fails
        # for that says nothing about hexmidi.
        for attempt in range(3):
            if self._try_start_recorder():
                return
            time.sleep(0.2)
        raise AssertionError(f"the recorder could not join the server: {self._recorder_error()}")

    def _try_start_recorder(self):
        self._recordings += 1
        self._events = None
        ready = self._path(f"recorder{self._recordings}.ready")
        with open(self._path(f"recorder{self._recordings}.log"), "wb") as log:
            self._recorder = subprocess.Popen(
                [_binary("HEXMIDI_JACK_RECORDER"), self._events_path(), ready, "recorder"],
                stdin=subprocess.DEVNULL, stderr=log, env=self.env,
                preexec_fn=_terminate_with_parent)
        joined_server = []

        def is_ready_or_failed():
            if os.path.exists(ready):
                joined_server.append(True)
                return True
            if self._recorder.poll() is None:
                return False
            if self._recorder.returncode != 2:
                raise AssertionError(f"the recorder exited with {self._recorder.returncode}: "
                                     f"{self._recorder_error()}")
            return True

        _wait_until(is_ready_or_failed, 15, "the recorder to be ready")
        return bool(joined_server)

    def _recorder_error(self):
        with open(self._path(f"recorder{self._recordings}.log"), "rb") as log:
            return log.read().decode(errors="replace").strip()

    def run_hexmidi(self, stdin, timeout=60):
        started = time.monotonic()
        process = self._popen_hexmidi()
        return _collect(process, stdin, timeout, started)

    def start_hexmidi(self, stdin=subprocess.PIPE):
        process = self._popen_hexmidi(stdin)
        process.started_at = time.monotonic()
        return process

    def finish_hexmidi(self, process, rest=None, timeout=60):
        return _collect(process, rest, timeout, getattr(process, "started_at", time.monotonic()))

    def wait_for_connection(self, timeout=15):
        def connected():
            listed = subprocess.run(["jack_lsp", "-c", "recorder:in"], env=self.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    check=False).stdout
            return len(listed.splitlines()) > 1

        _wait_until(connected, timeout, "a connection to the recorder")

    def run_program(self, argv, stdin=b"", timeout=60):
        started = time.monotonic()
        process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=self.env,
                                   preexec_fn=_terminate_with_parent)
        self._hexmidi.append(process)
        return _collect(process, stdin, timeout, started)

    def stop_server(self):
        _stop_process(self._server)

    def signal_server(self, signum):
        self._server.send_signal(signum)
        if signum == signal.SIGKILL:
            self._server.wait()

    def signal_recorder(self, signum):
        self._recorder.send_signal(signum)
        if signum == signal.SIGKILL:
            self._recorder.wait()
            self._recorder = None

    def _popen_hexmidi(self, stdin=subprocess.PIPE):
        process = subprocess.Popen([_binary("HEXMIDI_BINARY")], stdin=stdin,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env,
                                   preexec_fn=_terminate_with_parent)
        self._hexmidi.append(process)
        return process

    def events(self):
        if self._events is None:
            recorder, self._recorder = self._recorder, None
            if recorder is None:
                raise AssertionError("no recorder was started")
            _stop_process(recorder, timeout=30)
            if recorder.returncode == 3:
                raise AssertionError("the recorder lost events: its ring overflowed")
            if recorder.returncode != 0:
                raise AssertionError(f"the recorder exited with {recorder.returncode}")
            self._events = self._read_events()
        return self._events

    def _read_events(self):
        events = []
        with open(self._events_path(), "rb") as recorded:
            for line in recorded:
                frame, _, data = line.partition(b" ")
                events.append(Event(int(frame), bytes.fromhex(data.decode())))
        return events

    def stop(self):
        for process in self._hexmidi:
            _stop_process(process)
        self._hexmidi = []
        _stop_process(self._recorder)
        self._recorder = None
        _stop_process(self._server)
        self._server = None
        if self._name is not None:
            self._name.release()
            self._name = None
        shutil.rmtree(self._directory, ignore_errors=True)


class JackTestCase(unittest.TestCase):
    def session(self, period=256, rate=48000, recorder=True):
        if shutil.which("jackd") is None or shutil.which("jack_wait") is None:
            self.skipTest("jackd is not installed (Debian package jackd2)")
        _binary("HEXMIDI_BINARY")
        if recorder:
            _binary("HEXMIDI_JACK_RECORDER")
        session = JackSession(period, rate)
        self.addCleanup(session.stop)
        return session.start(recorder)
