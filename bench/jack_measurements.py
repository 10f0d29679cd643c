"""The measurements through a JACK server: a burst of short messages, a stream of small long
messages, the timing of notes written with gaps (on a quiet machine and under load), start-up,
and the CPU of draining a long message; each of hexmidi beside RtMidi's JACK output where the two
can be compared. Every run gets a private server and recorder of its own, from the end-to-end
tests' harness, stopped by process id when the run ends."""

import collections
import contextlib
import json
import os
import shutil
import subprocess

import jack_harness
import machine_load
import process_usage
import spread

PERIOD = 256
RATE = 48000
# What one period of JACK's MIDI port buffer holds of three-byte events (each takes a 12-byte
# event record out of a 32 KiB buffer); the ceiling of any burst through one port.
NOMINAL_EVENTS_PER_PERIOD = 2727
# The same buffer holds fewer six-byte events: the bytes past the fourth take room of their own
# beside the 12-byte record.
SIX_BYTE_EVENTS_PER_PERIOD = NOMINAL_EVENTS_PER_PERIOD * 12 // 18
# A bound on RtMidi's burst, which should take well under a second: past it the sender stops and
# what it had sent by then is what is compared.
RTMIDI_BURST_LIMIT_S = 10
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def available():
    return shutil.which("jackd") is not None and shutil.which("jack_wait") is not None


def _session(realtime=False):
    # Synchronous, as the figures have always been taken: a late client is waited for, not lost.
    session = jack_harness.JackSession(PERIOD, RATE, realtime, sync=True)
    try:
        session.start()
    except BaseException:
        session.stop()
        raise
    return session


def short_messages_of(stream_path):
    """The bytes each "m VVKKSS" line of a stream file stands for: status, key, velocity."""
    messages = []
    with open(stream_path) as stream:
        for line in stream:
            packed = int(line.split()[1], 16)
            messages.append(bytes((packed & 0xFF, packed >> 8 & 0xFF, packed >> 16 & 0xFF)))
    return messages


def long_message_of(stream_path):
    with open(stream_path) as stream:
        fields = stream.read().split()
    count = int(fields[1], 16)
    return bytes(int(field, 16) & 0xFF for field in fields[2:2 + count])


def _notes(events):
    """The stream's own note-ons and note-offs, without what a reset adds after them."""
    return [event for event in events if event.data[0] & 0xF0 in (0x80, 0x90)]


def _in_stream_order(arrived, expected):
    """Whether what arrived is the stream with at most some messages left out, never reordered."""
    remaining = iter(expected)
    return all(any(data == wanted for wanted in remaining) for data in arrived)


def _burst_figures(notes, expected):
    # Counted in whole periods, first to last, since the port buffer is filled a period at a time.
    per_period = collections.Counter(event.frame // PERIOD for event in notes)
    periods = max(per_period) - min(per_period) + 1 if notes else 0
    span_s = periods * PERIOD / RATE if notes else float("inf")
    arrived = len(notes)
    return {
        "arrived": arrived,
        "complete": [event.data for event in notes] == expected,
        "in_order": _in_stream_order((event.data for event in notes), expected),
        "per_s": arrived / span_s,
        "most_per_period": max(per_period.values(), default=0),
    }


def burst(programs, stream_path, repetitions):
    """The stream through hexmidi, then the same messages through RtMidi, one run of each in turn
    so that both meet the machine in the same state."""
    expected = short_messages_of(stream_path)
    runs = {"hexmidi": [], "rtmidi": []}
    for _ in range(repetitions):
        session = _session()
        try:
            usage = process_usage.run([programs["hexmidi"]], stream_path, session.env)
            figures = _burst_figures(_notes(session.events()), expected)
            figures["usage"] = usage
            runs["hexmidi"].append(figures)
        finally:
            session.stop()
        session = _session()
        try:
            with open(os.devnull, "rb") as nothing:
                sender = process_usage.start(
                    [programs["note_producer"], "rtmidi", str(len(expected)), "0", "-",
                     str(RTMIDI_BURST_LIMIT_S)], nothing, session.env, stdout=subprocess.PIPE)
                usage = process_usage.finish(sender)
                sent = int(sender.stdout.read() or 0)
                sender.stdout.close()
            figures = _burst_figures(_notes(session.events()), expected[:sent])
            figures["usage"] = usage
            figures["sent"] = sent
            runs["rtmidi"].append(figures)
        finally:
            session.stop()
    return {"messages": len(expected), "runs": runs}


def _read_frames(path):
    with open(path) as log:
        return [int(line) for line in log]


def _latency_figures(notes, written, expected):
    if [event.data for event in notes] != expected or len(written) != len(expected):
        return {"intact": False, "arrived": len(notes)}
    latency = sorted(event.frame - frame for event, frame in zip(notes, written))
    # A message is on time when it arrives one period after it was written.
    worst = max(abs(latency[0] - PERIOD), abs(latency[-1] - PERIOD))
    p1 = spread.percentile(latency, 0.01)
    p99 = spread.percentile(latency, 0.99)
    return {
        "intact": True,
        "arrived": len(notes),
        "mean": spread.mean(latency),
        "sd": spread.standard_deviation(latency),
        "p1": p1,
        "p99": p99,
        "p99_minus_p1": p99 - p1,
        "min": latency[0],
        "max": latency[-1],
        "worst": worst,
    }


def _timed_through_hexmidi(programs, session, messages, longest_gap_us, log, realtime=(),
                           hexmidi_prefix=()):
    producer = subprocess.Popen(
        [*realtime, programs["note_producer"], "pipe", str(messages), str(longest_gap_us), log],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=session.env)
    try:
        player = process_usage.start([*hexmidi_prefix, programs["hexmidi"]], producer.stdout,
                                     session.env)
        producer.stdout.close()
        producer.wait(timeout=120)
        process_usage.finish(player)
    finally:
        if producer.poll() is None:
            producer.kill()
            producer.wait()


def _timed_through_rtmidi(programs, session, messages, longest_gap_us, log, realtime=()):
    with open(os.devnull, "rb") as nothing:
        process_usage.finish(process_usage.start(
            [*realtime, programs["note_producer"], "rtmidi", str(messages), str(longest_gap_us),
             log], nothing, session.env))


# The timing goals, in frames: p99 − p1, and the farthest any message lands from one period.
TIMING_SPREAD_GOAL = 4
TIMING_WORST_GOAL = 8


def timing(programs, messages, longest_gap_us, repetitions, directory):
    """The timing as users run it: the server real-time (jackd -R) and the producer at SCHED_FIFO
    when the machine allows, hexmidi started at normal priority (it raises its reading thread
    itself), on a quiet machine, beside a parallel build and beside one busy loop per core. On the
    quiet machine, beside it: RtMidi's JACK output called directly, and hexmidi started under
    `chrt -f` at the priority of JACK's process threads, which it then keeps instead of raising
    itself below them."""
    expected = short_messages_of(_short_stream(programs, messages, directory))
    realtime = machine_load.realtime_allowed()
    producer = machine_load.as_realtime([]) if realtime else []
    at_process_priority = machine_load.as_realtime([], machine_load.JACK_CLIENT_PRIORITY)
    server_realtime = []

    def measure(way, **options):
        log = os.path.join(directory, "written.txt")
        session = _session(realtime)
        try:
            server_realtime.append(machine_load.realtime_threads(session.server_pid) > 0)
            way(programs, session, messages, longest_gap_us, log, realtime=producer, **options)
            return _latency_figures(_notes(session.events()), _read_frames(log), expected)
        finally:
            session.stop()

    loads = {"quiet": contextlib.nullcontext,
             "build": lambda: machine_load.parallel_build(SOURCE_DIR, directory),
             "busy": machine_load.busy_loops}
    ways = {"hexmidi": lambda: measure(_timed_through_hexmidi)}
    quiet_ways = {**ways, "rtmidi": lambda: measure(_timed_through_rtmidi)}
    if realtime:
        quiet_ways["hexmidi_at_process_priority"] = lambda: measure(
            _timed_through_hexmidi, hexmidi_prefix=at_process_priority)
    columns = {}
    for name, load in loads.items():
        chosen = quiet_ways if name == "quiet" else ways
        runs = {way: [] for way in chosen}
        with load():
            # One run of each way in turn, so that a noisy moment of the machine hits all alike.
            for _ in range(repetitions):
                for way, run in chosen.items():
                    runs[way].append(run())
        columns[name] = runs
    return {"messages": messages, "longest_gap_us": longest_gap_us,
            "realtime_allowed": realtime, "server_realtime": all(server_realtime),
            "priority": machine_load.PRODUCER_PRIORITY,
            "process_priority": machine_load.JACK_CLIENT_PRIORITY, "columns": columns}


def _system_on_stream(count, directory):
    """General MIDI System On messages, six bytes each, whose device ID walks through 00 to 7F so
    that a message out of order shows."""
    messages = [bytes([0xF0, 0x7E, i & 0x7F, 0x09, 0x01, 0xF7]) for i in range(count)]
    path = os.path.join(directory, f"system-on-{count}.txt")
    with open(path, "w") as out:
        out.writelines("l 6 " + message.hex(" ").upper() + "\n" for message in messages)
    return path, messages


def _system_exclusive(events):
    return [event for event in events if event.data[:1] == b"\xF0"]


def long_stream(programs, counts, repetitions, directory):
    """Streams of six-byte long messages beside as many short messages, one run of each in turn
    on one server, the whole run timed from the program's start to its exit."""
    results = []
    for count in counts:
        long_path, long_expected = _system_on_stream(count, directory)
        short_path = _short_stream(programs, count, directory)
        kinds = (("short", short_path, short_messages_of(short_path), _notes),
                 ("long", long_path, long_expected, _system_exclusive))
        runs = {"short": [], "long": []}
        for _ in range(repetitions):
            session = _session()
            try:
                for kind, path, expected, pick in kinds:
                    if kind != "short":
                        session.start_recorder()
                    usage = process_usage.run([programs["hexmidi"]], path, session.env)
                    figures = _burst_figures(pick(session.events()), expected)
                    figures["usage"] = usage
                    runs[kind].append(figures)
            finally:
                session.stop()
        results.append({"count": count, "runs": runs})
    return results


def start_up(programs, repetitions, no_server_env, directory):
    """From the program's start to its first message arriving through JACK (one period of which
    is the port's latency); and whole runs of that one message, through JACK and with no port."""
    one_message = os.path.join(directory, "one-message.txt")
    with open(one_message, "w") as out:
        out.write("m 7F3C90\n")
    log = os.path.join(directory, "started.txt")
    arrival_ms, jack_run_s, no_port_run_s = [], [], []
    for _ in range(repetitions):
        session = _session()
        try:
            with open(one_message, "rb") as stdin:
                subprocess.run([programs["note_producer"], "start", log, programs["hexmidi"]],
                               stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               env=session.env, timeout=60, check=False)
            events = session.events()
            if events and os.path.exists(log):
                frames = (events[0].frame - _read_frames(log)[0]) & 0xFFFFFFFF
                arrival_ms.append(frames * 1000 / RATE)
            session.start_recorder()
            jack_run_s.append(process_usage.run([programs["hexmidi"]], one_message,
                                                session.env).wall_s)
        finally:
            session.stop()
        no_port_run_s.append(process_usage.run([programs["hexmidi"]], one_message,
                                               no_server_env).wall_s)
    return {"arrival_ms": spread.summary(arrival_ms) if arrival_ms else None,
            "jack_run_s": spread.summary(jack_run_s),
            "no_port_run_s": spread.summary(no_port_run_s)}


def _short_stream(programs, messages, directory):
    path = os.path.join(directory, f"timed-{messages}.txt")
    with open(path, "wb") as out:
        subprocess.run([programs["stream_writer"], "short", str(messages)], stdout=out, check=True)
    return path


def long_message_drain(programs, stream_path, repetitions):
    """A long message through JACK: hexmidi's whole runs of it (that it arrives whole, and their
    peak memory), and the drain's own cost, measured inside long_message_drain, which sends as
    many bytes through the stand-in: beside a run of six bytes, which is the close alone, the
    difference is the drain."""
    expected = long_message_of(stream_path)
    runs = {"through_jack": [], "sent": [], "close": []}
    intact = []
    for _ in range(repetitions):
        session = _session()
        try:
            runs["through_jack"].append(process_usage.run([programs["hexmidi"]], stream_path,
                                                          session.env))
            intact.append(jack_harness.joined(session.events()).startswith(expected))
            for key, length in (("sent", len(expected)), ("close", 6)):
                session.start_recorder()
                runs[key].append(json.loads(subprocess.run(
                    [programs["long_message_drain"], str(length)], env=session.env, check=True,
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout))
        finally:
            session.stop()
    return {"bytes": len(expected), "intact": all(intact), **runs}


def idle_with_server(programs, repetitions, seconds=2.0):
    """As program_measurements.idle_cpu, with a server and a destination to connect to."""
    waiting, at_once = [], []
    for _ in range(repetitions):
        session = _session()
        try:
            waiting.append(process_usage.cpu_s(process_usage.run_on_silent_pipe(
                [programs["hexmidi"]], seconds, session.env)))
            at_once.append(process_usage.cpu_s(process_usage.run_on_silent_pipe(
                [programs["hexmidi"]], 0, session.env)))
        finally:
            session.stop()
    return {"seconds": seconds, "cpu_s": spread.summary(waiting),
            "cpu_s_at_once": spread.summary(at_once),
            "waiting_cpu_s": spread.summary(w - a for w, a in zip(waiting, at_once))}


def peak_memory_with_server(programs, stream_path, repetitions):
    kib = []
    for _ in range(repetitions):
        session = _session()
        try:
            kib.append(process_usage.run([programs["hexmidi"]], stream_path,
                                         session.env).peak_rss_kib)
        finally:
            session.stop()
    return spread.summary(kib)


def no_server_environment():
    env = dict(os.environ)
    env["JACK_DEFAULT_SERVER"] = f"hexmidi-bench-none-{os.getpid()}"
    env["JACK_NO_START_SERVER"] = "1"
    return env
