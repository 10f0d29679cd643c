"""Runs build/hexmidi against a private JACK server and records what reaches the server.

The server is jackd, or a PipeWire daemon with its JACK library (pw-jack), as desktops now run.
Everything a test starts is stopped by its process id (SIGTERM, then SIGKILL after a timeout),
also when the test fails; if the test process itself is killed, what it started is sent SIGTERM
by the kernel. Each jackd gets a name no other running test holds (see jack_server_names.py),
and each PipeWire daemon a runtime directory of its own, so test files can run in parallel.

Paths come from the environment, which ctest sets (see tests/e2e/CMakeLists.txt):
    HEXMIDI_BINARY         the hexmidi program under test
    HEXMIDI_JACK_RECORDER  the recording client, tests/e2e/jack_recorder.cpp
    HEXMIDI_RESET_CLIENT   tests/e2e/long_message_reset_client.cpp (one test's own driver)

API
    JackTestCase(unittest.TestCase)
        Base class. self.session(period=256, rate=48000, recorder=True, server="jackd",
        realtime=False) starts a JackSession whose stop() is registered with addCleanup, and
        skips the test (saying why) when the server (jackd; or pipewire and pw-jack) or a binary
        is missing.

    JackSession(period=256, rate=48000, realtime=False, server="jackd")
        start(recorder=True)  starts `jackd -r -S -n <name> -d dummy -r <rate> -p <period>`
                              (`-R` in place of `-r` when realtime),
                              or with server="pipewire" a `pipewire` daemon whose XDG_RUNTIME_DIR
                              is a directory of the session's own; waits until it answers, then
                              (by default) starts the recorder and waits for its ready file. Its
                              input port "recorder:in" is then the only MIDI input port, so
                              hexmidi connects to it. Under PipeWire every JACK program (hexmidi,
                              the recorder, jack_lsp) runs under `pw-jack -p <period> -s <rate>`.
        name, env             once started: the server's name, and the environment for anything
                              run against it (JACK_DEFAULT_SERVER=<name>, JACK_NO_START_SERVER=1
                              for jackd; XDG_RUNTIME_DIR for PipeWire).
        server_pid            once started: the process id of jackd (or pipewire).
        under_server(argv) -> list
                              argv as it is to be run against the server (after pw-jack).
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
        start_recorder(ports=None)
                              starts a fresh recorder on the same server, so that one server
                              can serve several runs, each with events() of its own. `ports`
                              makes it stand in for other clients instead of "recorder": a list
                              of "client:port" with flags and aliases, as jack_recorder.cpp
                              reads them, registered in that order.
        stop()                stops whatever is still running. Idempotent.

    run_without_server(stdin: bytes, timeout=60) -> Run
        runs hexmidi with a server name that nothing answers to.
    hexmidi_binary() -> str   the program under test (skips the test when it is not set)
    test_program(variable) -> str
                              another program ctest names in the environment (skips likewise)
    environment_without_server() -> dict
                              the environment naming a server that nothing answers to.

    Run: returncode, stdout (bytes), stderr (bytes), seconds (wall clock)
    Event: frame (absolute frame time), data (bytes), port (the full name of the port that
           took it, "recorder:in" by default)
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
Event = collections.namedtuple("Event", "frame data port")

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


class PipeWireCannotRun(AssertionError):
    """The daemon exits or never answers: the machine cannot run it (tests skip)."""


class JackSession:
    def __init__(self, period=256, rate=48000, realtime=False, server="jackd"):
        self.period = period
        self.rate = rate
        self.realtime = realtime
        self.server = server
        self._prefix = []
        self._port_names = []
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
        if self.server == "pipewire":
            self._start_pipewire()
            return
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
                ["jackd", "-R" if self.realtime else "-r", "-S", "-n", self.name, "-d", "dummy",
                 "-r", str(self.rate), "-p", str(self.period)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=self.env,
                preexec_fn=_terminate_with_parent)
        _wait_until(self._server_answers, 15, f"jackd {self.name} to answer")

    def _start_pipewire(self):
        # A daemon of our own, found by clients through its runtime directory alone: never the
        # user's, nor another test's. It finds no D-Bus session here, says so, and carries on.
        runtime = self._path("runtime")
        os.mkdir(runtime, 0o700)
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("JACK_DEFAULT_SERVER", "PIPEWIRE_REMOTE",
                                    "PIPEWIRE_RUNTIME_DIR")}
        self.env["XDG_RUNTIME_DIR"] = runtime
        # Leaks inside PipeWire's own libraries are theirs; a sanitized build would report them
        # at every exit (see the file).
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "pipewire_leaks.supp")
        self.env["LSAN_OPTIONS"] = ":".join(
            filter(None, [os.environ.get("LSAN_OPTIONS"), f"suppressions={suppressions}",
                           "print_suppressions=0"]))
        self.name = "pipewire"
        self._prefix = ["pw-jack", "-p", str(self.period), "-s", str(self.rate)]
        with open(self._path("pipewire.log"), "wb") as log:
            self._server = subprocess.Popen(
                ["pipewire"], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=self.env, preexec_fn=_terminate_with_parent)
        try:
            _wait_until(self._server_answers, 15, "pipewire to answer")
        except AssertionError as error:
            raise PipeWireCannotRun(str(error)) from error

    def under_server(self, argv):
        return self._prefix + list(argv)

    def _server_answers(self):
        log_name = "pipewire.log" if self.server == "pipewire" else "jackd.log"
        if self._server.poll() is not None:
            with open(self._path(log_name), "rb") as log:
                text = log.read().decode(errors="replace")
            if "Too many servers" in text:
                raise _RegistryFull(text)
            raise AssertionError(f"{self.server} exited: {text}")
        # pw-jack takes a server name for the name of a PipeWire socket: name none there.
        server = ["-s", self.name] if self.server == "jackd" else []
        return subprocess.run(self.under_server(["jack_wait", "-c"] + server), env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=False).stdout.startswith(b"running")

    @property
    def server_pid(self):
        return self._server.pid

    def start_recorder(self, ports=None):
        _stop_process(self._recorder)
        self._recorder = None
        ports = list(ports or ["recorder:in"])
        self._port_names = [port.split("|")[0] for port in ports]
        # Joining a server can fail now and then on a machine under heavy load (the server
        # times the request out, status 0x21); a few more tries, each after a longer pause for
        # the load to pass, cost little, and a test that fails for that says nothing about
        # hexmidi.
        for pause in (0.2, 0.5, 1.0, 2.0, None):
            if self._try_start_recorder(ports):
                return
            if pause is not None:
                time.sleep(pause)
        raise AssertionError(f"the recorder could not join the server: {self._recorder_error()}")

    def _try_start_recorder(self, ports):
        self._recordings += 1
        self._events = None
        ready = self._path(f"recorder{self._recordings}.ready")
        with open(self._path(f"recorder{self._recordings}.log"), "wb") as log:
            self._recorder = subprocess.Popen(
                self.under_server([_binary("HEXMIDI_JACK_RECORDER"), self._events_path(), ready]
                                  + ports),
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
            listed = subprocess.run(self.under_server(["jack_lsp", "-c", "recorder:in"]),
                                    env=self.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    check=False).stdout
            return len(listed.splitlines()) > 1

        _wait_until(connected, timeout, "a connection to the recorder")

    def run_program(self, argv, stdin=b"", timeout=60):
        started = time.monotonic()
        process = subprocess.Popen(self.under_server(argv), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE,
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
        process = subprocess.Popen(self.under_server([_binary("HEXMIDI_BINARY")]), stdin=stdin,
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
                frame, port, data = line.split(b" ", 2)
                events.append(Event(int(frame), bytes.fromhex(data.decode()),
                                    self._port_names[int(port)]))
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
    def session(self, period=256, rate=48000, recorder=True, server="jackd", realtime=False):
        if shutil.which("jack_wait") is None or shutil.which("jack_lsp") is None:
            self.skipTest("JACK's tools are not installed (Debian package jackd2)")
        if server == "jackd" and shutil.which("jackd") is None:
            self.skipTest("jackd is not installed (Debian package jackd2)")
        if server == "pipewire" and (shutil.which("pipewire") is None or
                                     shutil.which("pw-jack") is None):
            self.skipTest("PipeWire or pw-jack is not installed (Debian packages pipewire, "
                          "pipewire-jack)")
        _binary("HEXMIDI_BINARY")
        if recorder:
            _binary("HEXMIDI_JACK_RECORDER")
        session = JackSession(period, rate, realtime, server=server)
        self.addCleanup(session.stop)
        try:
            return session.start(recorder)
        except PipeWireCannotRun as error:
            self.skipTest(f"PipeWire cannot run on this machine: {error}")
