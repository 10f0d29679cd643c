"""Runs build/hexmidi against a private JACK server and records what reaches the server.

The server is jackd, real-time where allowed, or a PipeWire daemon with its JACK library
(pw-jack), as desktops now run, or netjack2 (a master jackd with netmanager, the recorder's, and a
slave on the net driver, the program's), or RTP-MIDI (two PipeWire daemons, the program's with
module-rtp-sink, the recorder's with module-rtp-source). jackd runs synchronously (-S) with a
client timeout of WAITING_TIMEOUT_MS unless a test asks for it as users run it (sync=False): an
asynchronous server goes on without a client that is late for its cycle, and what that cycle
carried is gone (seen on a crowded machine as a whole one-note run missing, with the recorder's
missed cycles and the server's xruns counted). A test that checks every byte cannot tell that
from a loss in the program; one that checks timing, or kills a client outright (a waiting server
would stand still for it until the timeout passes ten times), runs asynchronously.
Everything a test starts is stopped by its process id, also when the test fails or is killed.

JACK2 keeps its sockets and its registry of servers in /dev/shm, and names a client's socket
after the client alone: two test files starting "hexmidi" at once, each on a server of its own,
take each other's socket and fail to join. ctest runs each file in a /dev/shm of its own
(tests/CMakeLists.txt), or one at a time. Within a file, a server takes the lowest free name of a
small set, so that a server that died badly leaves no registry slot that the next one of its
name does not take back.

While a test waits, the session watches its server: when it exits, stops cycling or drops the
recorder, the test fails within seconds, saying so, rather than at a timeout or on an empty
recording. A fault brought on purpose goes through stop_server() or signal_*().

Paths come from the environment, which ctest sets: HEXMIDI_BINARY (the program under test),
HEXMIDI_JACK_RECORDER (tests/e2e/jack_recorder.cpp), HEXMIDI_RESET_CLIENT.

API
    JackTestCase.session(recorder=True, **JackSession options) -> JackSession, started, stopped
        at the end of the test; skips the test when a server or a binary is missing.
    JackSession(period=256, rate=48000, realtime=True, server="jackd", "pipewire", "netjack" or
                "rtp",
                sync=True (jackd -S), client_timeout_ms=WAITING_TIMEOUT_MS when synchronous
                (jackd -t))
        start(recorder=True)   the server, then (by default) the recorder
        name, env, server_pid, under_server(argv) (argv as run against the server: pw-jack),
        master_env (netjack's master's or RTP's receiver's, where the recorder is; else None)
        run_hexmidi(stdin, timeout=60) -> Run; run_program(argv, stdin, timeout) -> Run
        play_until_arrived(play, expected) -> (what play() returned, [Event] it added): played
        again only where the server lost a message (see there); run_until_arrived(stdin,
        expected) is it for run_hexmidi(stdin)
        write_until_recorded(run, line, message, what): the same for one line of a PipedRun
        piped_run(argv=None, env=None, stdin=PIPE) -> PipedRun
                               for tests that write with timing or act while it runs
        start_recorder(ports=None, tries=2)
                               a fresh recorder, once the server lists no other MIDI input;
                               `ports` ("client:port|flags|alias=...", see jack_recorder.cpp)
                               makes it stand in for other clients
        connections()          made to the recorder so far
        wait_for_connection(since=0), wait_for_cycles(count)
        recorded() -> [Event]  so far; wait_for_events(condition, what) -> [Event] once
                               condition(recorded()) holds
        events() -> [Event]    stops the recorder and returns all it recorded; fails if it lost
                               any or was dropped
        stop_server(), signal_server(signum), signal_recorder(signum), stop()
    PipedRun(argv, env, check=None, stdin=PIPE)
                               a program whose input a thread of ours writes, its output going
                               to files; `check` is called while it is waited for
        process; feed(*pieces) (bytes, seconds to pause, or functions to call; then the input is
        closed); finish(timeout=60) -> Run; kill(); waits_for_input() (it has taken all that was
        written and waits for more: its messages so far are sent); wait_for_input(what)
    environment_without_server() -> dict (this one and every session's define no ALSA sequencer)
    servers(*names) -> the names of a test's servers this run plays on (HEXMIDI_E2E_SERVERS)
    hexmidi_binary(), test_program(variable) -> path (skip the test when unset)
    Run: returncode, stdout, stderr, seconds, all_read (every byte of the input was taken),
         seconds_after_end (from closing the input to the exit)
    Event: frame (absolute frame time), data (bytes), port (the full name of the port)
    joined(events) -> bytes; hex_bytes("90 3C 7F") -> bytes
    reset_messages(sounding=()) -> [bytes]: a note-off (8n kk 00) for each (channel, key)
        sounding, in channel then key order, then sustain off (Bn 40 00) on channels 0 to F.
"""

import collections
import contextlib
import ctypes
import fcntl
import glob
import itertools
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

Run = collections.namedtuple("Run", "returncode stdout stderr seconds all_read seconds_after_end")
Event = collections.namedtuple("Event", "frame data port")

# A server that runs no cycle for this long, while nothing stops it on purpose, has broken.
STALL_LIMIT = 5.0  # seconds
# How long a synchronous server waits for a late client before ending a cycle without it: longer
# than a crowded machine keeps a client from running (JACK2's 500 ms default was not), and short
# enough that a cycle held that long still leaves STALL_LIMIT to tell it from a stall.
WAITING_TIMEOUT_MS = 2000

_names = itertools.count()
_server_names_in_use = set()


def hex_bytes(text):
    return bytes(int(field, 16) for field in text.split())


def reset_messages(sounding=()):
    note_offs = [bytes([0x80 | channel, key, 0]) for channel, key in sorted(sounding)]
    return note_offs + [bytes([0xB0 | channel, 0x40, 0]) for channel in range(16)]


def joined(events):
    return b"".join(event.data for event in events)


def servers(*names):
    """The servers of a test's table that this run plays on: all of them, unless
    HEXMIDI_E2E_SERVERS names some (as where another run has played on the others already)."""
    wanted = os.environ.get("HEXMIDI_E2E_SERVERS")
    return [name for name in names if not wanted or name in wanted.split(",")]


def pipewire_version():
    version = subprocess.run(["pipewire", "--version"], stdout=subprocess.PIPE, text=True,
                             timeout=10, check=False).stdout.split("libpipewire ")[-1]
    return tuple(int(field) for field in version.split()[0].split(".")[:3])


def hexmidi_binary():
    return test_program("HEXMIDI_BINARY")


def test_program(variable):
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


def _wait_until(condition, timeout, what, check=None, report=None):
    deadline = time.monotonic() + timeout
    while not condition():
        if check is not None:
            check()
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}" +
                                 (f"\n{report()}" if report else ""))
        time.sleep(0.01)


def _main_thread_stack(pid):
    """Where a process's main thread is, in gdb's words, for a failure that says where it hung."""
    if shutil.which("gdb") is None:
        return "  (gdb is not installed)"
    try:
        trace = subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread 1", "-ex", "bt"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                               timeout=60, check=False).stdout
    except subprocess.TimeoutExpired:
        return "  (gdb did not answer within 60 s)"
    return "\n".join(f"  {line}" for line in trace.splitlines() if line.startswith("#"))


def _clear_metadata_database():
    """JACK2's metadata database, a Berkeley DB environment in /dev/shm that every JACK process
    opens, keeps its locks in shared memory: one stopped or killed while it held a lock (as the
    tests stop and kill servers and clients at moments they do not choose) leaves it held, and
    every later JACK process of that /dev/shm waits on it for ever. A test file that runs in a
    /dev/shm of its own (tests/CMakeLists.txt says so) clears it whenever none of its servers runs:
    the database holds nothing a test reads."""
    if os.environ.get("HEXMIDI_PRIVATE_SHM") != "1" or _server_names_in_use:
        return
    for path in glob.glob("/dev/shm/jack_db-*"):
        shutil.rmtree(path, ignore_errors=True)


def _waits(pid):
    """Where each thread of a process sleeps, for a failure that says where it hung."""
    waits = []
    for task in sorted(os.listdir(f"/proc/{pid}/task")):
        with open(f"/proc/{pid}/task/{task}/wchan") as wchan:
            waits.append(wchan.read() or "running")
    return ", ".join(waits)


_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def _terminate_with_parent():
    """Run in each child before it starts: a test process killed outright (by a ctest timeout,
    say) must not leave a server or client behind. SIGKILL, as a jackd hung at its start on
    JACK's metadata database ignores SIGTERM."""
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


_CLONE_NEWNET = 0x40000000
_SIOCSIFFLAGS = 0x8914
_IFF_UP = 0x1


def _in_network_namespace(of_pid=None):
    """Run in a child before it starts: it enters a network namespace of its own whose loopback
    alone is up (or that of process of_pid), so that its traffic reaches nothing but the
    namespace's own addresses; the namespace goes with the last process in it. Made here rather
    than by `unshare -n` and `ip`, which a Debian root may lack."""
    def enter():
        _terminate_with_parent()
        if of_pid is not None:
            namespace = os.open(f"/proc/{of_pid}/ns/net", os.O_RDONLY | os.O_CLOEXEC)
            if _libc.setns(namespace, _CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
        elif _libc.unshare(_CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "unshare")
        else:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as ioctls:
                fcntl.ioctl(ioctls, _SIOCSIFFLAGS, struct.pack("16sh22x", b"lo", _IFF_UP))
    return enter


def _environment(server_name):
    env = dict(os.environ)
    env["JACK_DEFAULT_SERVER"] = server_name
    env["JACK_NO_START_SERVER"] = "1"
    # An ALSA configuration that defines no sequencer: where the machine has one, a run that
    # found no JACK destination would play there, and be no run of what the test says.
    env["ALSA_CONFIG_PATH"] = os.devnull
    return env


def environment_without_server():
    return _environment(f"hexmidi-e2e-none-{os.getpid()}-{next(_names)}")


class PipedRun:
    def __init__(self, argv, env, check=None, stdin=subprocess.PIPE):
        self._stdout = tempfile.TemporaryFile()
        self._stderr = tempfile.TemporaryFile()
        self._check = check
        self.started = time.monotonic()
        self.process = subprocess.Popen(argv, stdin=stdin, stdout=self._stdout,
                                        stderr=self._stderr, env=env,
                                        preexec_fn=_terminate_with_parent)
        self._writer = None
        self._outcome = []
        self._closed_at = None
        self.result = None

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
        if self._writer is None and self.process.stdin is not None:
            self.feed()
        deadline = time.monotonic() + timeout
        try:
            while self.process.poll() is None:
                if self._check is not None:
                    self._check()
                if time.monotonic() > deadline:
                    raise AssertionError(f"{os.path.basename(self.process.args[-1])} did not "
                                         f"finish within {timeout} s")
                try:
                    self.process.wait(0.1)
                except subprocess.TimeoutExpired:
                    pass
        finally:
            self.kill()
        exited_at = time.monotonic()
        if self._writer is not None:
            self._writer.join(5)
        all_read = self._outcome == ["all read"] or (self._writer is None)
        after_end = exited_at - self._closed_at if self._closed_at is not None else None
        outputs = []
        for output in (self._stdout, self._stderr):
            output.seek(0)
            outputs.append(output.read())
            output.close()
        self.result = Run(self.process.returncode, *outputs, exited_at - self.started, all_read,
                          after_end)
        return self.result

    def thread_state(self):
        """Where the program's thread sleeps ("0" while it runs), and the bytes its pipe holds."""
        with open(f"/proc/{self.process.pid}/wchan") as wchan:
            state = wchan.read()
        unread = fcntl.ioctl(self.process.stdin, termios.FIONREAD, b"\0\0\0\0")
        return state, int.from_bytes(unread, "little")

    def waits_for_input(self):
        """Whether the program's thread is blocked reading its input pipe, and the pipe is empty:
        its port is open and whatever was written before has been carried out."""
        state, unread = self.thread_state()
        return "pipe_read" in state and unread == 0

    def wait_for_input(self, what="the program to read its input", timeout=30):
        _wait_until(self.waits_for_input, timeout, what, self._check)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class ServerCannotRun(AssertionError):
    """The daemon exits or never answers: the machine cannot run it (tests skip)."""


class JackSession:
    def __init__(self, period=256, rate=48000, realtime=True, server="jackd", sync=True,
                 client_timeout_ms=None):
        self.period = period
        self.rate = rate
        self.realtime = realtime
        self.server = server
        self.sync = sync
        self.client_timeout_ms = client_timeout_ms or (WAITING_TIMEOUT_MS if sync else None)
        self._prefix = []
        self.name = None
        self.env = None
        self._directory = tempfile.mkdtemp(prefix="hexmidi-e2e-")
        self._server = None  # the one the program plays to: under netjack, the slave
        self._master = None  # netjack's master or RTP's receiver, where the recorder is
        self.master_env = None
        self._receive_port = None  # on that server, what the recorder is connected to
        self._recorder = None
        self._runs = []
        self._events = None
        self._recordings = 0
        self._port_names = []
        self._on_purpose = set()  # "server down", "server stopped", "recorder stopped"
        self._seen_cycles = (None, 0.0)
        self._played = self._replays = 0
        # What the program handed on before it exited has reached the recorder after this many.
        self.cycles_to_arrive = 3 + {"netjack": self.NET_LATENCY,
                                     "rtp": self.RTP_LATENCY}.get(server, 0)

    def _path(self, name):
        return os.path.join(self._directory, name)

    def _events_path(self):
        return self._path(f"events{self._recordings}.txt")

    def _status_path(self):
        return self._path(f"status{self._recordings}.txt")

    def start(self, recorder=True):
        if self.server == "pipewire":
            self._start_pipewire()
        elif self.server == "netjack":
            self._start_netjack()
        elif self.server == "rtp":
            self._start_rtp()
        else:
            self._start_jackd()
        if recorder:
            self.start_recorder()
        return self

    @staticmethod
    def _free_server_name():
        name = next(f"hexmidi-test-{n}" for n in itertools.count()
                    if f"hexmidi-test-{n}" not in _server_names_in_use)
        _server_names_in_use.add(name)
        return name

    def _jackd_options(self, name):
        options = ["-R" if self.realtime else "-r", "-n", name]
        if self.sync:
            options.append("-S")
        if self.client_timeout_ms is not None:
            options += ["-t", str(self.client_timeout_ms)]
        return options

    def _start_jackd(self):
        _clear_metadata_database()
        self.name = self._free_server_name()
        self.env = _environment(self.name)
        self._launch("_server", ["jackd", *self._jackd_options(self.name), "-d", "dummy", "-r",
                                 str(self.rate), "-p", str(self.period)],
                     self.env, "server.log", ["-s", self.name])

    # The slave's name, which the master gives its client; the net driver's default latency.
    NET_CLIENT, NET_LATENCY = "remote", 5

    def _start_netjack(self):
        """As users run it: a master jackd with netmanager, and a slave on the net driver with a
        MIDI port each way and no audio, both in one network namespace of their own."""
        _clear_metadata_database()
        master, self.name = self._free_server_name(), self._free_server_name()
        self.master_env, self.env = _environment(master), _environment(self.name)
        self._launch("_master", ["jackd", *self._jackd_options(master), "-d", "dummy", "-r",
                                 str(self.rate), "-p", str(self.period)],
                     self.master_env, "master.log", ["-s", master], _in_network_namespace())
        loaded = self._on_master("jack_load", "-i", "-a 127.0.0.1", "netmanager")
        if loaded.returncode != 0:
            raise ServerCannotRun(f"jack_load netmanager: {loaded.stdout.strip()}")
        self._launch(
            "_server", ["jackd", *self._jackd_options(self.name), "-d", "net", "-a", "127.0.0.1",
                        "-C", "0", "-P", "0", "-i", "1", "-o", "1", "-l", str(self.NET_LATENCY),
                        "-n", self.NET_CLIENT],
            self.env, "server.log", ["-s", self.name], _in_network_namespace(self._master.pid))
        self._receive_port = f"{self.NET_CLIENT}:midi_from_slave_1"
        _wait_until(lambda: self._receive_port in self._on_master("jack_lsp").stdout.split("\n"),
                    15, f"the master to list {self._receive_port}", self.check, self.report)

    # RTP-MIDI's periods on the way, at 256 frames: the receiver's sess.latency.msec (100 ms by
    # default), the float step of 1/32 s it may reckon late by, and the sink's quiet time (57 ms).
    RTP_LATENCY, RTP_PORT = 36, 46000

    def _start_rtp(self):
        """As users run it, with PipeWire's defaults: a receiving daemon with module-rtp-source
        and a sending one with module-rtp-sink, sess.media = midi, in one network namespace of
        their own. The receiver takes packets from any address (source.ip 0.0.0.0): given one, it
        connects its socket to that address and the port it listens on, and the sink sends from
        another port, so nothing arrives. The timestamp offsets, random otherwise, are set so that
        the receiver reckons times at 400,000 s, where its floats are coarsest (see
        winmm_standin/src/period_budget.h): the sender's clock is the dummy driver's,
        CLOCK_MONOTONIC, in RTP units of 10 kHz."""
        offset = (4_000_000_000 - int(time.clock_gettime(time.CLOCK_MONOTONIC) * 10_000)) % 2**32
        self.master_env = self._pipewire_env("receiver", "libpipewire-module-rtp-source", {
            "sess.media": "midi", "sess.ts-offset": 0, "source.ip": "0.0.0.0",
            "source.port": self.RTP_PORT, "local.ifname": "lo"})
        self._launch("_master", ["pipewire"], self.master_env, "master.log", [],
                     _in_network_namespace())
        self.env = self._pipewire_env("sender", "libpipewire-module-rtp-sink", {
            "sess.media": "midi", "sess.ts-offset": offset, "destination.ip": "127.0.0.1",
            "destination.port": self.RTP_PORT, "local.ifname": "lo"})
        self._launch("_server", ["pipewire"], self.env, "server.log", [],
                     _in_network_namespace(self._master.pid))
        self.name = "rtp"

        def port(env, ending):
            listing = subprocess.run(self.under_server(["jack_lsp"]), env=env, text=True,
                                     stdout=subprocess.PIPE, timeout=10, check=False).stdout
            return next((name for name in listing.split("\n") if name.endswith(ending)), None)

        for env, ending in ((self.env, ":send_1"), (self.master_env, ":receive_1")):
            _wait_until(lambda: port(env, ending), 15, f"a port {ending} to be listed",
                        self.check, self.report)
        self._receive_port = port(self.master_env, ":receive_1")

    def _pipewire_env(self, name, module=None, arguments=None):
        """A PipeWire daemon's environment, found by clients through its runtime directory alone:
        never the user's, nor another test's; with a module of its own, in a configuration
        directory of its own."""
        runtime = self._path(f"{name}-runtime")
        os.mkdir(runtime, 0o700)
        env = {name: value for name, value in os.environ.items()
               if name not in ("JACK_DEFAULT_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR")}
        env["XDG_RUNTIME_DIR"] = runtime
        # Leaks inside PipeWire's own libraries are theirs; a sanitized build would report them
        # at every exit (see the file).
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    "pipewire_leaks.supp")
        env["LSAN_OPTIONS"] = ":".join(
            filter(None, [os.environ.get("LSAN_OPTIONS"), f"suppressions={suppressions}",
                           "print_suppressions=0"]))
        if module is not None:
            config = self._path(f"{name}-config")
            os.makedirs(os.path.join(config, "pipewire", "pipewire.conf.d"))
            with open(os.path.join(config, "pipewire", "pipewire.conf.d", "rtp.conf"), "w") as f:
                f.write(f"context.modules = [ {{ name = {module} args = {{ " +
                        " ".join(f"{key} = {value!r}".replace("'", '"')
                                 for key, value in arguments.items()) + " } } ]\n")
            env["XDG_CONFIG_HOME"] = config
        self._prefix = ["pw-jack", "-p", str(self.period), "-s", str(self.rate)]
        return env

    def _start_pipewire(self):
        # A daemon of our own. It finds no D-Bus session here, says so, and carries on.
        self.env = self._pipewire_env("server")
        self.name = "pipewire"
        # pw-jack takes a server name for the name of a PipeWire socket: name none there.
        self._launch("_server", ["pipewire"], self.env, "server.log", [])

    def _launch(self, attribute, argv, env, log_name, server_option,
                preexec=_terminate_with_parent):
        with open(self._path(log_name), "wb") as log:
            server = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                      stderr=subprocess.STDOUT, env=env, preexec_fn=preexec)
        setattr(self, attribute, server)

        def answers():
            if server.poll() is not None:
                raise ServerCannotRun(f"{argv[0]} exited: {self._server_log(log_name)}")
            try:
                return subprocess.run(self.under_server(["jack_wait", "-c", *server_option]),
                                      env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, check=False,
                                      timeout=10).stdout.startswith(b"running")
            except subprocess.TimeoutExpired:
                raise AssertionError("jack_wait -c did not answer within 10 s") from None

        try:
            _wait_until(answers, 15, f"{' '.join(argv[:4])} to answer")
        except AssertionError as error:
            raise ServerCannotRun(f"{error}; its main thread waits in:\n"
                                  f"{_main_thread_stack(server.pid)}") from error

    def _on_master(self, *argv):
        return subprocess.run(self.under_server(argv), env=self.master_env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=10, check=False)

    def _server_log(self, log_name="server.log"):
        try:
            with open(self._path(log_name), "rb") as log:
                return log.read().decode(errors="replace").strip()[-2000:]
        except FileNotFoundError:
            return "(stopped)"

    def under_server(self, argv):
        return self._prefix + list(argv)

    @property
    def server_pid(self):
        return self._server.pid

    # Watching the server.

    def _status(self):
        status = collections.defaultdict(list)
        try:
            with open(self._status_path()) as lines:
                for line in lines:
                    key, _, value = line.rstrip("\n").partition(" ")
                    status[key].append(value)
        except FileNotFoundError:
            pass
        return status

    def check(self):
        """Fails the test, naming what broke, when the server has exited, has dropped the
        recorder, or has run no cycle for STALL_LIMIT, unless the test did that on purpose."""
        if self._server is not None and self._server.poll() is not None and \
                "server down" not in self._on_purpose:
            raise AssertionError(f"the test server exited with {self._server.returncode}: "
                                 f"{self._server_log()}")
        if self._master is not None and self._master.poll() is not None:
            raise AssertionError(f"the recorder's server exited with {self._master.returncode}: "
                                 f"{self._server_log('master.log')}")
        if self._recorder is None or self._on_purpose:
            return
        if self._recorder.poll() is not None:
            raise AssertionError(f"the recorder exited with {self._recorder.returncode}: "
                                 f"{self._recorder_log()}\n{self.report()}")
        status = self._status()
        if status["shutdown"]:
            raise AssertionError(f"the test server dropped the recorder: {status['shutdown'][0]}"
                                 f"\n{self.report()}")
        # Until the recorder has joined (it retries its name for a while) and run its first cycle
        # it counts none: that is no stall. start_recorder's own wait names that case.
        cycles, since = self._seen_cycles
        now = time.monotonic()
        if status["cycles"] in ([], ["0"]) or status["cycles"] != cycles:
            self._seen_cycles = (status["cycles"], now)
        elif now - since > STALL_LIMIT:
            raise AssertionError(f"the test server stopped cycling (no cycle for "
                                 f"{STALL_LIMIT:.0f} s)\n{self.report()}")

    def report(self):
        """What the server and the recorder did: every failure says it, so that a loss in the
        program can be told from a cycle the server ran without a client."""
        if not os.path.isdir(self._directory):
            return f"server {self.name}: stopped by the test before this"
        if self._server is None:
            state = "not started"
        elif self._server.poll() is None:
            state = "running"
        else:
            state = f"exited with {self._server.returncode}" + (
                " (on purpose)" if "server down" in self._on_purpose else "")
        mode = {"pipewire": "PipeWire", "rtp": "RTP-MIDI, PipeWire's rtp-sink to its rtp-source"
                }.get(self.server) or (
            f"{'netjack2: a slave, and a master with netmanager, each ' * bool(self._master)}"
            f"jackd {'-R' if self.realtime else '-r'}"
            f"{' -S' if self.sync else ' (asynchronous)'}"
            f"{f' -t {self.client_timeout_ms}' if self.client_timeout_ms else ''}")
        lines = [f"server {self.name}: {mode}, {self.period} frames at {self.rate} Hz, {state}"]
        status = self._status()
        if status["cycles"]:
            first = {key: values[0] for key, values in status.items()}
            lines.append(
                f"recorder {self._recordings}: {first['cycles']} cycles, {first['missed']} missed "
                f"(the frame clock passed over them), {first['late']} late (began a period or "
                f"more after their cycle), {first['overran']} overran (ran into the next cycle), "
                f"{first['xruns']} xruns reported by the server; since "
                f"it joined, {first['clients']} other clients joined, registering "
                f"{first['ports']} ports, and made {first['joined']} connections to it" +
                (f"; the last gaps spanned frames "
                 f"{', '.join(gap.replace(' ', '-') for gap in status['missed_at'][-8:])}"
                 if status["missed_at"] else "") +
                f"; its thread: policy {first.get('thread', '?')}, ring locked "
                f"{first.get('locked', '?')}" +
                "".join(f"\n  libjack: {error}" for error in status["error"]))
        elif self._recordings:
            lines.append(f"recorder {self._recordings}: never joined the server")
        for process, log_name in ((self._server, "server.log"), (self._master, "master.log")):
            if process is None:
                continue
            log = self._server_log(log_name).splitlines()
            # PipeWire's complaint that it finds no D-Bus session here is no trouble.
            trouble = [line for line in log if any(word in line.lower() for word in
                                                   ("xrun", "error", "timeout", "not finished",
                                                    "missing", "lost"))
                       and "session bus" not in line]
            lines.append(f"{log_name}: {len(trouble)} lines of xruns, errors, timeouts or losses"
                         + "".join(f"\n  {line}" for line in trouble[-4:]))
        if self._runs and self._runs[-1].result is not None:
            run = self._runs[-1].result
            lines.append(f"last run: exit {run.returncode} after {run.seconds:.2f} s, "
                         f"{'all input read' if run.all_read else 'not all input read'}")
        return "\n".join(lines)

    # The recorder.

    def start_recorder(self, ports=None, tries=2):
        _stop_process(self._recorder)
        self._recorder = None
        self._recordings += 1
        self._events = None
        self._on_purpose.discard("recorder killed")
        self._seen_cycles = (None, time.monotonic())
        with open(self._path(f"recorder{self._recordings}.log"), "wb") as log:
            self._recorder = subprocess.Popen(
                self.under_server([test_program("HEXMIDI_JACK_RECORDER"), self._events_path(),
                                   self._status_path()] + list(ports or [])),
                stdin=subprocess.DEVNULL, stderr=log, env=self.master_env or self.env,
                preexec_fn=_terminate_with_parent)
        try:
            _wait_until(self._recorder_ready, 30, "the recorder to be ready", self.check)
        except AssertionError as error:
            status = self._status()
            if status["listed"]:
                error = f"{error}; the server lists other MIDI inputs too: {status['listed']}"
            elif self._recorder.poll() is not None:
                error = f"{error}; it exited with {self._recorder.returncode}"
            elif not status["state"]:
                error = (f"{error}; it has not joined the server (a leaving client may still "
                         f"hold its name)")
            elif status["cycles"] == ["0"]:
                # Seen twice under PipeWire on a crowded machine, the server up all the while:
                # a new client it never schedules, 30 s and more after it joined. That is the
                # server's fault, not the program's: a fresh recorder takes its place, once.
                if self.server == "pipewire" and tries > 1:
                    print("PipeWire ran none of the new recorder's cycles: it is started again")
                    return self.start_recorder(ports, tries - 1)
                error = f"{error}; it joined, but the server has run none of its cycles"
            raise AssertionError(f"{error}; its log: {self._recorder_log() or '(empty)'}\n"
                                 f"{self.report()}") from None
        self._port_names = self._status()["port"]
        if self._master is not None:  # jack_connect, as a user there would
            source = self._receive_port
            connected = self._on_master("jack_connect", source, self._port_names[0])
            if connected.returncode != 0:
                raise AssertionError(f"jack_connect {source} to the recorder: "
                                     f"{connected.stdout.strip()}\n{self.report()}")
            self.wait_for_connection()

    def _recorder_ready(self):
        # On netjack's master no program chooses among the inputs: the net client's may stay.
        status = self._status()
        return status["state"] == ["ready"] or self._master is not None and status["cycles"] \
            not in ([], ["0"]) and all(port.startswith(f"{self.NET_CLIENT}:")
                                       for port in status["listed"])

    def _recorder_log(self):
        with open(self._path(f"recorder{self._recordings}.log"), "rb") as log:
            return log.read().decode(errors="replace").strip()

    def connections(self):
        return int(self._status()["connections"][0])

    def wait_for_connection(self, since=0, timeout=15):
        _wait_until(lambda: self.connections() > since, timeout,
                    "a connection to the recorder", self.check, self.report)

    def wait_for_cycles(self, count, timeout=15):
        target = int(self._status()["cycles"][0]) + count
        _wait_until(lambda: int(self._status()["cycles"][0]) >= target, timeout,
                    f"{count} cycles of the server", self.check, self.report)

    def recorded(self):
        return self._read_events(self._events_path())

    def _frame(self):
        return int((self._status()["frame"] or ["0"])[0])

    def _gaps(self):
        """The spans of frames the recorder missed, lately: (from, to)."""
        return [tuple(map(int, gap.split())) for gap in self._status()["missed_at"]]

    def _missed_between(self, first, last):
        return [gap for gap in self._gaps() if gap[0] < last and gap[1] > first]

    def _count_replay(self, why):
        self._replays += 1
        line = f"played again ({self._replays} of {self._played} runs so far): {why}"
        print(line)
        # scripts/soak.sh counts the replays of every run, passed or failed.
        if os.environ.get("HEXMIDI_REPLAY_LOG"):
            with open(os.environ["HEXMIDI_REPLAY_LOG"], "a") as log:
                log.write(f"{os.path.basename(sys.argv[0])}: {line}\n")

    def check_replays(self):
        """Fails the test when its replays passed one in ten of its runs (one is allowed): a
        server that loses that often is a fault to see, not noise to absorb."""
        if self._replays > max(1, self._played // 10):
            raise AssertionError(f"{self._replays} of {self._played} runs were played again: "
                                 f"the server lost messages that often\n{self.report()}")

    def play_until_arrived(self, play, expected, tries=3, split=False):
        """play() (one run of the program), played again only when what arrived lacks some of
        the messages expected and the recorder missed a cycle where they were due: between the
        events that did arrive before and after the first loss (or the run's start and end), a
        period either side.
        PipeWire, and jackd when asynchronous, do not wait for a late client, and what such a
        cycle carried is lost by the server, not the program. Anything else (a loss with no cycle
        missed at its place, a duplicate, a wrong byte) is judged as it stands. `split`: a long
        message may arrive in pieces. Returns what play() returned and the events it added."""
        sent = b"".join(expected)
        for attempt in range(1, tries + 1):
            first, started = len(self.recorded()), self._frame()
            result = play()
            self._played += 1
            # The program hands its last event on before it exits: a few cycles bring it here.
            self.wait_for_cycles(self.cycles_to_arrive)
            events = self.recorded()[first:]
            at, lost = 0, len(events) if len(joined(events)) < len(sent) else None
            for i, event in enumerate(events):
                if sent[at:at + len(event.data)] != event.data or \
                        (not split and (i >= len(expected) or
                                        len(event.data) != len(expected[i]))):
                    lost = i
                    break
                at += len(event.data)
            if lost is None or attempt == tries:
                return result, events
            # A period either side: the cycle the server ran without the recorder may show as the
            # one before or after the frames it lost (seen under PipeWire).
            after = (events[lost - 1].frame if lost > 0 else started) - self.period
            before = (events[lost].frame if lost < len(events) else self._frame()) + self.period
            gaps = self._missed_between(after, before)
            if not gaps:
                return result, events
            self._count_replay(f"what followed byte {at} ({sent[at:at + 8].hex(' ')}) did not "
                               f"arrive, and the recorder missed frames {gaps} between {after} "
                               f"and {before}")
        return result, events

    def run_until_arrived(self, stdin, expected, tries=3, split=False, timeout=60):
        return self.play_until_arrived(lambda: self.run_hexmidi(stdin, timeout), expected, tries,
                                       split)

    def write_until_recorded(self, run, line, message, what, tries=3):
        """Writes line to a PipedRun's input once the program reads it, and again only when
        `message` did not arrive and the recorder missed a cycle between the write and the cycles
        after the program had taken the line (see play_until_arrived)."""
        run.wait_for_input(f"{what}: the program to read its input")
        for _ in range(tries):
            first, started = len(self.recorded()), self._frame()
            run.process.stdin.write(line)
            run.process.stdin.flush()
            self._played += 1
            # Taken and waiting for more: the message is on its way, due within a period or two
            # (three where the server's clock had fallen behind its stamp). Twenty cycles more and
            # it has arrived, or is lost.
            run.wait_for_input(f"{what}: the program to take {line!r}")
            target = int(self._status()["cycles"][0]) + 17 + self.cycles_to_arrive
            self.wait_for_events(lambda events: len(events) > first or
                                 int(self._status()["cycles"][0]) >= target, what)
            arrived = [event.data for event in self.recorded()[first:]]
            if arrived:
                if arrived != [message]:
                    raise AssertionError(f"{what}: {[a.hex(' ') for a in arrived]} arrived, "
                                         f"{message.hex(' ')} expected\n{self.report()}")
                return
            gaps = self._missed_between(started - self.period, self._frame() + self.period)
            if not gaps:
                raise AssertionError(f"{what}: {line!r} did not arrive, and the recorder missed "
                                     f"no cycle\n{self.report()}")
            self._count_replay(f"{line!r} did not arrive, and the recorder missed frames {gaps}")
        raise AssertionError(f"{what}: none of {tries} writes arrived\n{self.report()}")

    def wait_for_events(self, condition, what, timeout=30):
        events = []

        def holds():
            events[:] = self.recorded()
            return condition(events)

        _wait_until(holds, timeout, what, self.check, self.report)
        return events

    def events(self):
        if self._events is None:
            recorder, self._recorder = self._recorder, None
            if recorder is None:
                raise AssertionError("no recorder was started")
            dropped = self._status()["shutdown"]
            recorder.send_signal(signal.SIGTERM)
            try:
                recorder.wait(30)
            except subprocess.TimeoutExpired:
                waits = _waits(recorder.pid)
                _stop_process(recorder)
                raise AssertionError(f"the recorder did not stop within 30 s of SIGTERM; its "
                                     f"threads waited in {waits}\n{self.report()}") from None
            if recorder.returncode == 3:
                raise AssertionError(f"the recorder lost events: its ring overflowed\n"
                                     f"{self.report()}")
            if recorder.returncode != 0:
                raise AssertionError(f"the recorder exited with {recorder.returncode}\n"
                                     f"{self.report()}")
            if dropped and "server down" not in self._on_purpose:
                raise AssertionError(f"the test server dropped the recorder: {dropped[0]}\n"
                                     f"{self.report()}")
            self._events = self._read_events(self._events_path())
        return self._events

    def _read_events(self, path):
        events = []
        with open(path, "rb") as recorded:
            for line in recorded:
                if not line.endswith(b"\n"):
                    break  # the recorder is still writing it
                frame, port, data = line.split(b" ", 2)
                events.append(Event(int(frame), bytes.fromhex(data.decode()),
                                    self._port_names[int(port)]))
        return events

    # Programs.

    def piped_run(self, argv=None, env=None, stdin=subprocess.PIPE):
        run = PipedRun(self.under_server(argv or [hexmidi_binary()]), env or self.env,
                       self.check, stdin)
        self._runs.append(run)
        return run

    def run_hexmidi(self, stdin, timeout=60):
        return self.run_program([hexmidi_binary()], stdin, timeout)

    def run_program(self, argv, stdin=b"", timeout=60):
        run = self.piped_run(argv)
        run.feed(stdin)
        return run.finish(timeout)

    # Faults, on purpose.

    def stop_server(self):
        self._on_purpose.add("server down")
        _stop_process(self._server)

    def signal_server(self, signum):
        self._signalled(self._server, "server", signum)

    def signal_recorder(self, signum):
        self._signalled(self._recorder, "recorder", signum)

    def _signalled(self, process, who, signum):
        if process is None or process.poll() is not None:
            return  # stopped already, as by the test's own end
        if signum == signal.SIGKILL:
            self._on_purpose.add("server down" if who == "server" else f"{who} killed")
        elif signum == signal.SIGSTOP:
            self._on_purpose.add(f"{who} stopped")
        elif signum == signal.SIGCONT:
            self._on_purpose.discard(f"{who} stopped")
            self._seen_cycles = (None, time.monotonic())
        process.send_signal(signum)
        if signum == signal.SIGKILL:
            process.wait()
            if who == "recorder":
                self._recorder = None

    def stop(self):
        for run in self._runs:
            run.kill()
        self._runs = []
        _stop_process(self._recorder)
        self._recorder = None
        if self.server == "netjack" and self._master is not None and self._master.poll() is None:
            # jackd stopped with netmanager loaded waits 48 s on it; unloaded, not at all.
            with contextlib.suppress(subprocess.TimeoutExpired):  # stopped all the same
                self._on_master("jack_unload", "netmanager")
        for server in (self._server, self._master):
            _stop_process(server)
        self._server = self._master = None
        _server_names_in_use.discard(self.name)
        if self.master_env is not None:
            _server_names_in_use.discard(self.master_env.get("JACK_DEFAULT_SERVER"))
        shutil.rmtree(self._directory, ignore_errors=True)


def describe_arrival(events, expected, split=False):
    """How what arrived differs from the messages expected: counts, the first differing byte,
    and the events and messages around it, with their frames and lengths. None when the data of
    the events are the messages (or, where a message may come in pieces, their bytes are)."""
    arrived = [event.data for event in events]
    came, sent = joined(events), b"".join(expected)
    if arrived == expected or (split and came == sent):
        return None
    offset = next((i for i, (a, b) in enumerate(zip(came, sent)) if a != b),
                  min(len(came), len(sent)))
    if came == sent:
        offset = next((i for i, (a, b) in enumerate(zip(arrived, expected)) if a != b),
                      min(len(arrived), len(expected)) - 1)
        return (f"the same {len(sent)} bytes, split otherwise: event {offset} has "
                f"{len(arrived[offset])} bytes, message {offset} {len(expected[offset])}")

    def near(pieces, frames=None):  # the pieces around the one that holds byte `offset`
        starts = [0, *itertools.accumulate(map(len, pieces))]
        index = next((i for i, start in enumerate(starts[1:]) if offset < start), len(pieces))
        return "".join(
            f"\n    #{i}{f' frame {frames[i]}' if frames else ''}: {len(pieces[i])} bytes from "
            f"byte {starts[i]}: {pieces[i][:8].hex(' ').upper()}"
            f"{' ...' if len(pieces[i]) > 8 else ''}"
            for i in range(max(index - 2, 0), min(index + 3, len(pieces)))) or " none"

    return (f"{len(came)} bytes arrived in {len(arrived)} events; {len(sent)} bytes expected in "
            f"{len(expected)} messages; the first difference is at byte {offset}: came "
            f"{came[offset:offset + 8].hex(' ').upper() or 'nothing'}, expected "
            f"{sent[offset:offset + 8].hex(' ').upper() or 'nothing'}\n"
            f"  events near it:{near(arrived, [event.frame for event in events])}\n"
            f"  messages near it:{near(expected)}")


class JackTestCase(unittest.TestCase):
    def assert_arrived(self, events, expected, split=False):
        """That the events' data are the messages expected; where `split`, that their bytes
        are (a long message may arrive in pieces)."""
        difference = describe_arrival(events, expected, split)
        if difference is not None:
            self.fail(self._formatMessage(None, difference))

    def _formatMessage(self, msg, standardMsg):
        # Every failed assertion says what the servers and recorders of the test did.
        reports = [session.report() for session in getattr(self, "_sessions", [])]
        return "\n".join([super()._formatMessage(msg, standardMsg)] + reports)

    def session(self, recorder=True, **options):
        server = options.get("server", "jackd")
        if not servers(server):
            self.skipTest(f"not run on {server} here (HEXMIDI_E2E_SERVERS)")
        if shutil.which("jack_wait") is None:
            self.skipTest("JACK's tools are not installed (Debian package jackd2)")
        if server in ("jackd", "netjack") and shutil.which("jackd") is None:
            self.skipTest("jackd is not installed (Debian package jackd2)")
        if server in ("netjack", "rtp") and os.geteuid() != 0:
            self.skipTest(f"{server}'s servers run in a network namespace: that takes root")
        if server in ("pipewire", "rtp") and (shutil.which("pipewire") is None or
                                              shutil.which("pw-jack") is None):
            self.skipTest("PipeWire or pw-jack is not installed (Debian packages pipewire, "
                          "pipewire-jack)")
        if server == "rtp" and pipewire_version() < (0, 3, 68):
            self.skipTest(f"PipeWire {'.'.join(map(str, pipewire_version()))} carries no MIDI "
                          "over RTP (sess.media = midi came with 0.3.68)")
        hexmidi_binary()
        if recorder:
            test_program("HEXMIDI_JACK_RECORDER")
        session = JackSession(**options)
        self.addCleanup(session.stop)
        self.addCleanup(session.check_replays)
        self.__dict__.setdefault("_sessions", []).append(session)
        # A server that is installed and does not start is a fault to see, not a skip.
        return session.start(recorder)
