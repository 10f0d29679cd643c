"""Runs every benchmark against a build tree configured with -DHEXMIDI_BUILD_BENCHMARKS=ON, keeps
the figures in <build dir>/bench/benchmark_results.json and fills the report from them.

    python3 bench/run_benchmarks.py <build dir> <report.md> [--repetitions N] [--no-jack] [--no-vm]
    python3 bench/run_benchmarks.py <build dir> <report.md> --only one-note|pipewire|engines
        that section alone, its figures put in with those of the last whole run, if there are any
    python3 bench/run_benchmarks.py <build dir> - --only pipewire-here [--servers pipewire,jackd]
        inside a Debian 13 root, for the pipewire section outside it: the figures of the root's
        servers go to <build dir>/bench/pipewire_here.json, not to the report
    python3 bench/run_benchmarks.py <build dir> - --only rtp-here
        likewise for the engines section's RTP-MIDI row: <build dir>/bench/rtp_here.json

Every program runs under measured_run, which reads wait4()'s rusage of that child alone: a child
forked from Python would report Python's peak resident size, which it inherits at the fork.
"""

import argparse
import bisect
import collections
import contextlib
import ctypes
import datetime
import json
import os
import platform
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import jack_harness  # noqa: E402
import report  # noqa: E402

PERIOD, RATE = 256, 48000
# SCHED_FIFO priorities as users run them: jackd -R at 10, its clients' process threads at 5, the
# producer there too, and hexmidi's reading thread (and the floor's reader) one below.
PRODUCER_PRIORITY, READER_PRIORITY = 5, 4
TIMED_MESSAGES, LONGEST_GAP_US = 2000, 3000
programs, directory = {}, ""
NO_SERVER = dict(os.environ, JACK_DEFAULT_SERVER="hexmidi-bench-none", JACK_NO_START_SERVER="1")
NOTE, ONE_NOTE_RUNS = bytes.fromhex("903C7F"), 15


def output_of(command, **options):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, timeout=600, **options).stdout


def start(command, stdin, env=None, stdout=subprocess.DEVNULL, prefix=()):
    """Under measured_run, in a process group of its own, so that one that overstays ends whole.
    A `prefix` (pw-jack) runs measured_run: its shell's start is then no part of the figures."""
    result = tempfile.mktemp(dir=directory)
    process = subprocess.Popen([*prefix, programs["measured_run"], result, *command], stdin=stdin,
                               stdout=stdout, stderr=subprocess.DEVNULL, env=env,
                               start_new_session=True)
    process.result_path, process.program = result, command[0]
    return process


def finish(process, timeout=120):
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise RuntimeError(f"{process.program} did not finish within {timeout} s") from None
    with open(process.result_path) as result:
        usage = json.load(result)
    return {**usage, "cpu_s": usage["user_s"] + usage["system_s"]}


def run(command, stdin_path, env=None):
    with open(stdin_path, "rb") as stdin:
        return finish(start(command, stdin, env))


def waiting_cpu(env):
    """CPU of a run on a pipe silent for 2 s, less one whose input ends at once: waiting's cost."""
    cpu = []
    for seconds in (2, 0):
        process = start([programs["hexmidi"]], subprocess.PIPE, env)
        time.sleep(seconds)
        process.stdin.close()
        cpu.append(finish(process)["cpu_s"])
    return cpu[0] - cpu[1]


def write_file(name, lines):
    path = os.path.join(directory, name)
    with open(path, "w") as out:
        out.writelines(lines)
    return path


def short_lines(count):
    """As bench/generated_streams.h writes them: note-on and note-off pairs, keys rising."""
    return [f"m {0x7F if i % 2 == 0 else 0:02X}{i // 2 % 128:02X}{0x80 if i % 2 else 0x90:02X}\n"
            for i in range(count)]


def short_bytes(count):
    return [bytes.fromhex(line[6:8] + line[4:6] + line[2:4]) for line in short_lines(count)]


def long_message(length):
    return bytes([0xF0, *(i % 128 for i in range(1, length - 1)), 0xF7])


def parsing(repetitions):
    """Commands a second of the command loop and the bare scanf loop, interleaved at random."""
    runs = collections.defaultdict(list)
    for entry in json.loads(output_of([programs["command_parsing_benchmark"],
                                       "--benchmark_format=json",
                                       f"--benchmark_repetitions={repetitions}",
                                       "--benchmark_enable_random_interleaving=true"]))[
                                           "benchmarks"]:
        if entry.get("run_type") == "iteration":
            runs[entry["run_name"]].append(entry["items_per_second"])
    return runs


def chrt(priority):
    """A prefix that runs a program at SCHED_FIFO, where this process may give it."""
    allowed = subprocess.run(["chrt", "-f", "1", "true"], stderr=subprocess.DEVNULL).returncode
    return [shutil.which("chrt"), "-f", str(priority)] if allowed == 0 else []


def pipe_latency(mode, lines, gaps_us, priority=None):
    """Microseconds from each write into a pipe to its arrival (bench/pipe_latency.cpp)."""
    prefix = chrt(PRODUCER_PRIORITY) if priority else []
    return json.loads(output_of([*prefix, programs["pipe_latency"], mode, str(lines),
                                 *map(str, gaps_us), *([str(priority)] if prefix else [])]))["us"]


@contextlib.contextmanager
def jack(realtime=False, server="jackd"):
    # Synchronous, as the figures have always been taken: a late client is waited for, not lost.
    session = jack_harness.JackSession(PERIOD, RATE, realtime, server, sync=True)
    try:
        yield session.start()
    finally:
        session.stop()


def flow(session, expected, split=False):
    """What arrived of a stream (not what a reset adds), counted in whole periods, first to last.
    `split`: one long message, in pieces (F0, then a data byte or F7 first), counted in bytes."""
    events = [event for event in session.events() if event.data[0] in (0x80, 0x90, 0xF0) or
              split and event.data[0] in (*range(0x80), 0xF7)]
    # jackd's dummy driver counts frames from 0, a period a cycle: frame // PERIOD is the cycle.
    # PipeWire's clock starts anywhere, and under 1.6 the first cycle that carried hexmidi's events
    # began 31 or 70 frames after the one before: periods start where most events fall, at a
    # cycle's start, where overdue events go. Rejected: the recorder logging each cycle's start,
    # a change to the tests' own format for one figure.
    phase = 0 if session.server == "jackd" else collections.Counter(
        event.frame % PERIOD for event in events).most_common(1)[0][0] if events else 0
    per_period = collections.Counter()
    for event in events:
        per_period[(event.frame - phase) // PERIOD] += len(event.data) if split else 1
    first, last = min(per_period, default=0), max(per_period, default=-1)
    arrived, remaining = sum(per_period.values()), iter(expected)
    data = [jack_harness.joined(events)] if split else [event.data for event in events]
    return {"arrived": arrived, "complete": data == expected,
            "in_order": all(any(piece == wanted for wanted in remaining) for piece in data),
            "per_s": arrived * RATE / PERIOD / (last - first + 1) if events else 0,
            "most_per_period": max(per_period.values(), default=0),
            "per_period": [per_period[p] for p in range(first, last + 1)]}


def streams(files, repetitions):
    """A burst of 1,000,000 short messages through hexmidi, then through RtMidi, each on a server
    of its own; then System On messages, six bytes each, the device ID walking through 00 to 7F
    so that one out of order shows, beside as many short messages, one run of each on a server."""
    results, kinds = collections.defaultdict(list), {}
    burst = short_bytes(1_000_000)
    for count in (2000, 100_000):
        system_on = [bytes([0xF0, 0x7E, i & 0x7F, 0x09, 0x01, 0xF7]) for i in range(count)]
        kinds[f"short {count}"] = (write_file(f"s{count}", short_lines(count)), short_bytes(count))
        kinds[f"long {count}"] = (write_file(f"l{count}", [f"l 6 {message.hex(' ')}\n"
                                                           for message in system_on]), system_on)
    for _ in range(repetitions):
        with jack() as session:
            usage = run([programs["hexmidi"]], files["1,000,000 lines"], session.env)
            results["hexmidi"].append({**flow(session, burst), "usage": usage})
        with jack() as session, open(os.devnull, "rb") as nothing:
            sender = start([programs["note_producer"], "rtmidi", str(len(burst)), "0", "-", "10"],
                           nothing, session.env, stdout=subprocess.PIPE)
            usage = finish(sender)
            sent = int(sender.stdout.read() or 0)
            results["rtmidi"].append({**flow(session, burst[:sent]), "usage": usage, "sent": sent})
        with jack() as session:
            for kind, (path, expected) in kinds.items():
                session.start_recorder()
                usage = run([programs["hexmidi"]], path, session.env)
                results[kind].append({**flow(session, expected), "usage": usage, "per_period": 0})
    return results


@contextlib.contextmanager
def load(name):
    """One loop per core, each in a process group of its own, ended by that group's id; not
    niced: they compete with hexmidi as a user's `make -j$(nproc)` or a runaway process would."""
    source = os.path.join(ROOT, "winmm_standin", "src", "alsa_backend.cpp")
    compile_once = (f"c++ -std=c++20 -O2 -g -I'{ROOT}/winmm_standin/include' -c '{source}' "
                    f"-o '{directory}/load-$$.o'")
    loop = {"quiet": None, "busy": ":", "build": compile_once}[name]
    loops = [subprocess.Popen(["sh", "-c", f"while :; do {loop} || exit; done"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
             for _ in range(os.cpu_count() if loop else 0)]
    try:
        time.sleep(1.0 if loops else 0)  # a compiler's first second is spent starting up
        yield
    finally:
        for process in loops:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def lines_of(path):
    with open(path) as log:
        return [[int(field) for field in line.split()] for line in log]


def timed_run(way, session, expected):
    """One timed run: each message's error in frames (its latency less one period), and how late
    each cycle reached a client (when the producer's callback ran, against the frame grid)."""
    log = os.path.join(directory, "written")
    producer = [*chrt(PRODUCER_PRIORITY), programs["note_producer"], way, str(TIMED_MESSAGES),
                str(LONGEST_GAP_US), log]
    if way == "pipe":
        writer = subprocess.Popen(producer, stdout=subprocess.PIPE, env=session.env)
        finish(start([programs["hexmidi"]], writer.stdout, session.env))
        writer.stdout.close()
        writer.wait(120)
    else:
        subprocess.run(producer, stdout=subprocess.DEVNULL, env=session.env, timeout=120)
    arrived, written = flow(session, expected), [frame for frame, in lines_of(log)]
    if not arrived["complete"] or len(written) != len(expected):
        return {"intact": False, "arrived": arrived["arrived"]}
    errors = [event.frame - frame - PERIOD for event, frame in zip(session.events(), written)]
    cycles = lines_of(log + ".cycles")
    offsets = [callback_us - frame * 1e6 / RATE for frame, _, callback_us in cycles]
    # Against the next 16 cycles (after a stall the server sets its grid anew), and how far the
    # clock both ends stamp with strayed from the cycle: after stalls its filter can, by periods.
    late = [(offset - min(offsets[i:i + 16])) * RATE / 1e6 for i, offset in enumerate(offsets)]
    usual = sorted(clock for _, clock, _ in cycles)[len(cycles) // 2]  # the callback's own place
    off = [max(lateness, abs(clock - usual)) for lateness, (_, clock, _) in zip(late, cycles)]
    # A message's error is the server's when a cycle from two periods before its write to one
    # after its arrival was off by half of it or more.
    frames = [frame for frame, _, _ in cycles]
    near = [max(off[bisect.bisect_left(frames, w - 2 * PERIOD):
                    bisect.bisect_right(frames, w + e + PERIOD)], default=0)
            for w, e in zip(written, map(abs, errors))]
    return {"intact": True, "errors": errors, "cycle_off": off,
            "own": [e for e, n in zip(errors, near) if n < abs(e) / 2]}


def timing(repetitions):
    """Under each load, in turn: hexmidi, RtMidi's JACK output, and a real-time reader alone."""
    realtime = bool(chrt(1))
    results = {"server_realtime": []}
    for name in ("quiet", "build", "busy"):
        runs = results[name] = {"hexmidi": [], "rtmidi": [], "floor": []}
        with load(name):
            for _ in range(repetitions):
                for way, key in (("pipe", "hexmidi"), ("rtmidi", "rtmidi")):
                    with jack(realtime) as session:
                        results["server_realtime"].append(server_runs_realtime(session))
                        runs[key].append(timed_run(way, session, short_bytes(TIMED_MESSAGES)))
                floor = pipe_latency("bare", TIMED_MESSAGES, (0, LONGEST_GAP_US), READER_PRIORITY)
                runs["floor"].append({"errors": [us * RATE / 1e6 for us in floor]})
    results["server_realtime"] = all(results["server_realtime"])
    return results


def server_runs_realtime(session):
    # Whether any thread of the server runs SCHED_FIFO or SCHED_RR (stat's field 41).
    tasks = f"/proc/{session.server_pid}/task"
    return any(open(f"{tasks}/{task}/stat").read().rsplit(")", 1)[1].split()[38] in ("1", "2")
               for task in os.listdir(tasks))


def jack_costs(files, repetitions):
    """CPU while waiting and while a long message drains (in long_message_drain, less the close
    alone: in hexmidi's whole runs its CPU would drown in the parse's), memory and start-up."""
    figures = collections.defaultdict(list)
    one_message = write_file("one", ["m 7F3C90\n"])
    for _ in range(repetitions):
        with jack() as session:
            figures["idle_cpu_s"].append(waiting_cpu(session.env))
            for name in ("1,000 lines", "1,000,000 lines", "1 MiB message"):
                session.start_recorder()
                usage = run([programs["hexmidi"]], files[name], session.env)
                figures[name].append(usage["peak_rss_kib"])
            figures["long_whole"].append(usage)
            figures["long_intact"].append(
                jack_harness.joined(session.events()).startswith(long_message(1 << 20)))
            for key, length in (("drain", 1 << 20), ("close", 6)):
                session.start_recorder()
                figures[key].append(json.loads(output_of([programs["long_message_drain"],
                                                          str(length)], env=session.env)))
    for _ in range(5):
        log = os.path.join(directory, "started")
        with jack() as session, open(one_message, "rb") as stdin:
            subprocess.run([programs["note_producer"], "start", log, programs["hexmidi"]],
                           stdin=stdin, stdout=subprocess.DEVNULL, env=session.env, timeout=60)
            for event in session.events()[:1]:
                frames = (event.frame - lines_of(log)[0][0]) & 0xFFFFFFFF
                figures["start_to_message_ms"].append(frames * 1000 / RATE)
            session.start_recorder()
            figures["start_up_run_ms"].append(
                run([programs["hexmidi"]], one_message, session.env)["wall_s"] * 1e3)
        figures["no_port_run_ms"].append(
            run([programs["hexmidi"]], one_message, NO_SERVER)["wall_s"] * 1e3)
    return figures


def one_note(servers=("jackd", "pipewire"), given=None):
    """hexmidi's one-note run and the bare client's (bench/one_note_client.cpp), taking turns on
    one server, each a fresh process, under jackd and under PipeWire. A run that failed, or whose
    note did not reach the recorder, is no figure: it is left out, as its exit status or "lost",
    and the turns go on until each has ONE_NOTE_RUNS (three times that many turns at most). On the
    session `given`, where there is one, of the one server named."""
    path = write_file("one note", ["m 7F3C90\n"])
    figures = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}
    for server in servers:
        runs = figures[server] = {"hexmidi": [], "bare": [],
                                  "left_out": {"hexmidi": [], "bare": []}}
        with contextlib.nullcontext(given) if given else jack(server=server) as session:
            for _ in range(3 * ONE_NOTE_RUNS):
                if min(len(runs["hexmidi"]), len(runs["bare"])) >= ONE_NOTE_RUNS:
                    break
                for way, program in (("hexmidi", "hexmidi"), ("bare", "one_note_client")):
                    before = len(session.recorded())
                    usage = played(session, path, program)
                    if usage["status"] == 0 and note_arrived(session, before):
                        runs[way].append(usage["wall_s"] * 1e3)
                    else:
                        runs["left_out"][way].append(usage["status"] or "lost")
    return figures


def played(session, path, program="hexmidi"):
    with open(path, "rb") as stdin:
        return finish(start([programs[program]], stdin, session.env,
                            prefix=session.under_server([])))


def note_arrived(session, before):
    # Both programs leave once the recorder has had the cycle that carried the note, and its
    # writer puts the note in its file within milliseconds of that.
    try:
        session.wait_for_events(lambda events: NOTE in [event.data for event in events[before:]],
                                "the note at the recorder", timeout=2)
        return True
    except AssertionError:
        session.check()  # a server that broke ends the benchmark, saying what broke
        return False


def carried(server):
    """The version of this server's libjack, as its package has it (jack_get_version_string would
    need a client of its own), and what a period of it carries: short messages, and bytes of
    SysEx (winmm_standin/src/period_budget.h)."""
    package = {"pipewire": "pipewire-jack", "jackd": "jackd2"}[server]
    version = re.match(r"[0-9.]*", output_of(["dpkg-query", "-W", "-f", "${Version}", package]))[0]
    ump = (1, 3, 81) <= tuple(map(int, version.split("."))) <= (1, 6, 2)
    return version, *((2727, 32720) if server == "jackd" else (1364, 8184 if ump else 32735))


def stack(server):
    """On one server of this machine's (or a root's), each with a recorder of its own: the burst
    of 1,000,000 short messages, 1 MiB of SysEx, then the one-note runs."""
    version, short, sysex = carried(server)
    message = long_message(1 << 20)
    figures = {"server": server, "version": version, "allows": [short, sysex]}
    with jack(server=server) as session:
        played(session, write_file("burst", short_lines(1_000_000)))
        figures["burst"] = flow(session, short_bytes(1_000_000))
        session.start_recorder()
        played(session, write_file("sysex", [f"l {len(message):X} {message.hex(' ')}\n"]))
        figures["sysex"] = flow(session, [message], split=True)
        session.start_recorder()
        figures["one_note"] = one_note((server,), session)[server]
    return figures


def bounded(command, timeout, what):
    """Its status and output; one that overstays ends whole, its process group, naming what hung."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True)
    try:
        out = process.communicate(timeout=timeout)[0]
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return 1, f"{what} did not finish within {timeout} s"
    return process.returncode, out


def pipewire(build_dir):
    """PipeWire's and jackd's figures, version by version: this machine's servers, then those of
    the Debian 13 roots (tests/roots), where this same script runs with `--only pipewire-here`
    and leaves its figures in a file. A root that cannot be made, or whose run fails, says why.
    Rejected: booting the roots in the virtual machine, which only adds a kernel and minutes."""
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    figures = {"date": date, "not_measured": [],
               "stacks": [{**stack(server), "where": "this machine"}
                          for server in ("pipewire", "jackd")]}
    for flavour, servers in (("trixie", "pipewire,jackd"), ("backports", "pipewire")):
        stacks, why = in_root(build_dir, flavour, "pipewire-here", "--servers", servers)
        if why:
            figures["not_measured"].append(f"the {flavour} root: {why}")
        figures["stacks"] += [{**one, "where": f"{flavour} root"} for one in stacks or []]
def in_root(build_dir, flavour, only, *arguments):
    """This script run in a Debian 13 root with `--only <only>`: the figures it left in
    <build dir>/bench/<only>.json, and why there are none (None when there are)."""
    here = os.path.join(build_dir, "bench", f"{only.replace('-', '_')}.json")
    status, out = bounded([f"{ROOT}/tests/roots/make-root.sh", flavour], 1800,
                          f"make-root.sh {flavour}")
    with contextlib.suppress(FileNotFoundError):
        os.remove(here)
    if status == 0:
        status, out = bounded(
            [f"{ROOT}/tests/roots/in-root.sh", out.splitlines()[-1], "timeout", "600", "python3",
             "-B", __file__, build_dir, "-", "--only", only, *arguments], 660,
            f"the run in the {flavour} root")
    if status or not os.path.exists(here):
        return None, (out.strip().splitlines() or ["no output"])[-1]
    with open(here) as inner:
        return json.load(inner), None


def frame_offset(session):
    """How far the recorder's frame clock (netjack's master's) is ahead of the clock hexmidi's
    server stamps with (the slave's): the two count the same cycles from different starts. Read as
    the median of the master's clock, read on either side of the slave's, less the slave's."""
    if session.master_env is None:
        return 0
    jack = ctypes.CDLL("libjack.so.0")
    jack.jack_client_open.restype = ctypes.c_void_p
    jack.jack_frame_time.argtypes = jack.jack_client_close.argtypes = [ctypes.c_void_p]
    jack.jack_frame_time.restype = ctypes.c_uint32
    master, slave = (jack.jack_client_open(b"hexmidi-bench-clock", 0x05, None,  # no start, named
                                           env["JACK_DEFAULT_SERVER"].encode())
                     for env in (session.master_env, session.env))
    offsets = []
    for _ in range(51):
        before, at, after = (jack.jack_frame_time(client) for client in (master, slave, master))
        offsets.append(((before + after) // 2 - at) & 0xFFFFFFFF)
    for client in (master, slave):
        jack.jack_client_close(client)
    return sorted(offsets)[len(offsets) // 2]


def engines():
    """Each network link beside the local path, on one loopback: the note stream of the timing
    figures through a pipe (latency, and the timing error against its own median), then a burst of
    100,000 short messages (the rate it arrives at). RTP-MIDI runs in a Debian 13 root (PipeWire
    1.6), aseqnet in the virtual machine alone."""
    figures = {}
    burst = short_bytes(100_000)
    burst_path = write_file("engine burst", short_lines(100_000))
    figures["rtp"], why = in_root(os.path.dirname(programs["hexmidi"]), "backports", "rtp-here")
    if why:
        figures["rtp"] = {"not_measured": why}
    for server in ("jackd", "netjack"):
        with jack(bool(chrt(1)), server) as session:
            offset = frame_offset(session)
            log = os.path.join(directory, "written")
            writer = subprocess.Popen([*chrt(PRODUCER_PRIORITY), programs["note_producer"], "pipe",
                                       str(TIMED_MESSAGES), str(LONGEST_GAP_US), log],
                                      stdout=subprocess.PIPE, env=session.env)
            finish(start([programs["hexmidi"]], writer.stdout, session.env))
            writer.stdout.close()
            writer.wait(120)
            arrived = flow(session, short_bytes(TIMED_MESSAGES))
            latency = sorted(((event.frame - offset - frame) & 0xFFFFFFFF) * 1e3 / RATE
                             for event, (frame,) in zip(session.events(), lines_of(log)))
            middle = latency[len(latency) // 2]
            off = sorted(abs(ms - middle) for ms in latency)
            session.start_recorder()
            run([programs["hexmidi"]], burst_path, session.env)
            flowed = flow(session, burst)
            figures[server] = {
                "intact": arrived["complete"], "latency_ms": middle,
                "error_p99_ms": off[int(len(off) * 0.99)] if off else None,
                "error_worst_ms": off[-1] if off else None,
                "burst_per_s": flowed["per_s"], "burst_complete": flowed["complete"]}
    return figures


# Run under a server's own prefix: how far its frame clock is ahead of CLOCK_MONOTONIC, in frames
# (the median of 51 readings side by side).
CLOCK_READER = f"""
import ctypes, time
jack = ctypes.CDLL("libjack.so.0")
jack.jack_client_open.restype = ctypes.c_void_p
jack.jack_frame_time.argtypes = jack.jack_client_close.argtypes = [ctypes.c_void_p]
jack.jack_frame_time.restype = ctypes.c_uint32
client = jack.jack_client_open(b"hexmidi-bench-clock", 1, None)
# PipeWire's libjack has a client's clock only once the client is activated and has run a cycle.
jack.jack_activate(ctypes.c_void_p(client))
for _ in range(500):
    if jack.jack_frame_time(client) != 0:
        break
    time.sleep(0.01)
ahead = sorted((jack.jack_frame_time(client) - round(time.clock_gettime(time.CLOCK_MONOTONIC) *
                {RATE})) % 2**32 for _ in range(51))
jack.jack_client_close(client)
print(ahead[25])
"""


def rtp_engine():
    """RTP-MIDI (PipeWire's module-rtp-sink to its module-rtp-source: the tests' session), run in a
    Debian 13 root, as this machine's PipeWire carries no MIDI over RTP. The roots lack RtMidi,
    which note_producer needs: the note stream is written from here with the same gaps, each write
    logged on CLOCK_MONOTONIC, and the receiver's frames set on that clock by reading the two side
    by side."""
    lines, gaps = short_lines(TIMED_MESSAGES), random.Random(1)
    with jack(server="rtp") as session:
        ahead = int(output_of(session.under_server([sys.executable, "-c", CLOCK_READER]),
                              env=session.master_env))
        run = session.piped_run()
        run.wait_for_input("hexmidi to open its port")
        written = []
        for line in lines:
            time.sleep(gaps.uniform(0, LONGEST_GAP_US / 1e6))
            written.append(round(time.clock_gettime(time.CLOCK_MONOTONIC) * RATE))
            run.process.stdin.write(line.encode())
            run.process.stdin.flush()
        run.finish()
        session.wait_for_cycles(session.cycles_to_arrive)  # the far end plays 100 ms later
        arrived = flow(session, short_bytes(TIMED_MESSAGES))
        latency = sorted(((event.frame - ahead - frame) & 0xFFFFFFFF) * 1e3 / RATE
                         for event, frame in zip(session.events(), written))
        session.start_recorder()
        with open(write_file("engine burst", short_lines(100_000)), "rb") as burst:
            finish(start([programs["hexmidi"]], burst, session.env,
                         prefix=session.under_server([])))
        session.wait_for_cycles(session.cycles_to_arrive)
        flowed = flow(session, short_bytes(100_000))
    middle = latency[len(latency) // 2]
    off = sorted(abs(ms - middle) for ms in latency)
    version = re.match(r"[0-9.]*", output_of(["dpkg-query", "-W", "-f", "${Version}",
                                              "pipewire"]))[0]
    return {"version": version, "intact": arrived["complete"], "latency_ms": middle,
            "error_p99_ms": off[int(len(off) * 0.99)], "error_worst_ms": off[-1],
            "burst_per_s": flowed["per_s"], "burst_complete": flowed["complete"]}


def alsa_vm():
    """Streams to an aseqdump client and start-up through the kernel's sequencer, in the virtual
    machine of the ALSA tests, which runs the cases file of tests/vm/bench: one line a run,
    "figure KIND COUNT key=value...". This machine has no sequencer of its own to measure."""
    build_dir = os.path.dirname(programs["hexmidi"])
    output = subprocess.run(
        [os.path.join(ROOT, "tests", "vm", "run-vm-tests.sh"), build_dir], stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, text=True, timeout=1500, check=False,
        env=dict(os.environ, HEXMIDI_VM_CASES_DIR=os.path.join(ROOT, "tests", "vm", "bench")))
    runs = collections.defaultdict(list)
    with contextlib.suppress(OSError), open(f"{build_dir}/vm/results.clean") as results:
        for fields in map(str.split, results):
            if len(fields) > 2 and fields[0] == "figure":
                runs[f"{fields[1]} {fields[2]}"].append(dict(f.split("=", 1) for f in fields[3:]))
    seconds = [line.split()[4] for line in output.stdout.splitlines()
               if line.startswith("virtual machine ran for")]
    return {"runs": runs, "seconds": seconds[0] if seconds else "?"} if runs else {
        "not_measured": " | ".join(output.stdout.splitlines()[-3:])}


def machine(build_dir):
    def first_line(command):
        return subprocess.run(["sh", "-c", command], stdout=subprocess.PIPE, text=True,
                              check=False).stdout.strip().split("\n")[0]

    return {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "cores": os.cpu_count(), "kernel": platform.release(),
            "cpu": first_line("sed -n 's/^model name.*: //p' /proc/cpuinfo"),
            "preemption": first_line("zcat /proc/config.gz | sed -n 's/^CONFIG_\\(PREEMPT"
                                     "\\(_NONE\\|_VOLUNTARY\\|_RT\\)\\?\\)=y/\\1/p'"),
            "build_type": first_line(f"sed -n 's/^CMAKE_BUILD_TYPE:.*=//p' "
                                     f"'{build_dir}/CMakeCache.txt'"),
            "compiler": first_line("c++ --version"),
            "jack": first_line("pkg-config --modversion jack"),
            "rtmidi": first_line("pkg-config --modversion rtmidi"),
            "private_namespace": os.environ.get("HEXMIDI_BENCH_PRIVATE_SHM") == "1"}


def measure(repetitions, with_jack, with_vm, build_dir):
    r = {"repetitions": repetitions, "load_before": open("/proc/loadavg").read()[:14]}
    files = {f"{count:,} lines": write_file(f"short-{count}", short_lines(count))
             for count in (1000, 1_000_000)}
    for mib in (1, 2):
        files[f"{mib} MiB message"] = write_file(
            f"long-{mib}", [f"l {mib << 20:X} {long_message(mib << 20).hex(' ')}\n"])
    r["parsing"] = parsing(repetitions)
    r["pipe_to_port"] = {way: [pipe_latency("loop", 3000, (100, 1000), priority)
                               for _ in range(repetitions)]
                         for way, priority in (("normal", None), ("realtime", READER_PRIORITY))}
    r["idle_cpu_s"] = [waiting_cpu(NO_SERVER) for _ in range(repetitions)]
    r["memory_kib"] = {name: [run([programs["hexmidi"]], path, NO_SERVER)["peak_rss_kib"]
                              for _ in range(repetitions)] for name, path in files.items()}
    r["memory_kib"]["/bin/true"] = [run(["/bin/true"], files["1,000 lines"])["peak_rss_kib"]
                                    for _ in range(repetitions)]
    if with_jack:
        print("== through JACK", file=sys.stderr, flush=True)
        r["streams"] = streams(files, min(repetitions, 3))
        r["timing"] = timing(min(repetitions, 3))
        r["jack"] = jack_costs(files, min(repetitions, 3))
        r["one_note"] = one_note()
        r["pipewire"] = pipewire(build_dir)
        r["engines"] = engines()
    if with_vm:  # last: the emulator takes a whole core
        print("== through ALSA, in a virtual machine", file=sys.stderr, flush=True)
    r["alsa_vm"] = alsa_vm() if with_vm else {"not_measured": "the run used `--no-vm`"}
    r["load_after"] = open("/proc/loadavg").read()[:14]
    return r


def main():
    global directory
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("report")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--no-jack", action="store_true")
    parser.add_argument("--no-vm", action="store_true")
    parser.add_argument("--only", choices=["one-note", "pipewire", "pipewire-here", "engines",
                                           "rtp-here"])
    parser.add_argument("--servers", default="pipewire,jackd", help="those of pipewire-here")
    arguments = parser.parse_args()
    build_dir = os.path.abspath(arguments.build_dir)
    with open(os.path.join(arguments.build_dir, "bench", "bench_programs.json")) as listing:
        programs.update(json.load(listing))
    # The end-to-end tests' harness finds its programs in the environment.
    os.environ.update(HEXMIDI_BINARY=programs["hexmidi"],
                      HEXMIDI_JACK_RECORDER=programs.get("jack_recorder", ""))
    started = time.monotonic()
    figures = os.path.join(arguments.build_dir, "bench", "benchmark_results.json")
    table = {"one-note": "one_note", "pipewire": "pipewire", "engines": "engines"}.get(
        arguments.only)
    with tempfile.TemporaryDirectory(prefix="hexmidi-bench-") as directory:
        if arguments.only == "pipewire-here":  # inside a root, for the run outside it
            with open(os.path.join(build_dir, "bench", "pipewire_here.json"), "w") as out:
                json.dump([stack(server) for server in arguments.servers.split(",")], out)
            return
        if arguments.only == "rtp-here":
            with open(os.path.join(build_dir, "bench", "rtp_here.json"), "w") as out:
                json.dump(rtp_engine(), out)
            return
        if table:
            results = {}
            with contextlib.suppress(FileNotFoundError), open(figures) as last:
                results = json.load(last)
            results[table] = {"one_note": one_note, "engines": engines}.get(
                table, lambda: pipewire(build_dir))()
        else:
            results = measure(arguments.repetitions, not arguments.no_jack, not arguments.no_vm,
                              build_dir)
            results.update(machine=machine(arguments.build_dir), seconds=time.monotonic() - started)
    with open(figures, "w") as out:
        json.dump(results, out)
    report.write(figures, arguments.report, [table] if table else None)
    print(f"== wrote {arguments.report} in {time.monotonic() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
