"""Runs every benchmark against a build tree configured with -DHEXMIDI_BUILD_BENCHMARKS=ON, keeps
the figures in <build dir>/bench/benchmark_results.json and fills the report from them.

    python3 bench/run_benchmarks.py <build dir> <report.md> [--repetitions N] [--no-jack] [--no-vm]

Every program runs under measured_run, which reads wait4()'s rusage of that child alone: a child
forked from Python would report Python's peak resident size, which it inherits at the fork.
"""

import argparse
import bisect
import collections
import contextlib
import datetime
import json
import os
import platform
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


def say(text):
    print(f"== {text}", file=sys.stderr, flush=True)


def output_of(command, **options):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, timeout=600, **options).stdout


def start(command, stdin, env=None, stdout=subprocess.DEVNULL):
    """Under measured_run, in a process group of its own, so that one that overstays ends whole."""
    result = tempfile.mktemp(dir=directory, suffix=".json")
    process = subprocess.Popen([programs["measured_run"], result, *command], stdin=stdin,
                               stdout=stdout, stderr=subprocess.DEVNULL, env=env,
                               start_new_session=True)
    process.result_path = result
    return process


def finish(process, timeout=120):
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise RuntimeError(f"{process.args[2]} did not finish within {timeout} s") from None
    with open(process.result_path) as result:
        usage = json.load(result)
    usage["cpu_s"] = usage["user_s"] + usage["system_s"]
    return usage


def run(command, stdin_path, env=None):
    with open(stdin_path, "rb") as stdin:
        return finish(start(command, stdin, env))


def silent_pipe_cpu(env, seconds):
    """CPU of a run whose input stays open and silent for `seconds`: waiting's cost."""
    process = start([programs["hexmidi"]], subprocess.PIPE, env)
    time.sleep(seconds)
    process.stdin.close()
    return finish(process)["cpu_s"]


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


def stream_files():
    files = {f"{count:,} lines": write_file(f"short-{count}", short_lines(count))
             for count in (1000, 1_000_000)}
    for mib in (1, 2):
        files[f"{mib} MiB message"] = write_file(
            f"long-{mib}", [f"l {mib << 20:X} " + long_message(mib << 20).hex(" ") + "\n"])
    return files


def google_benchmark(name, repetitions, *extra):
    figures = json.loads(output_of([programs[name], "--benchmark_format=json",
                                    f"--benchmark_repetitions={repetitions}", *extra]))
    runs = collections.defaultdict(list)
    for entry in figures["benchmarks"]:
        if entry.get("run_type") == "iteration":
            runs[entry["run_name"]].append(entry["items_per_second"])
    return runs


def realtime_allowed():
    return subprocess.run(["chrt", "-f", "1", "true"], stderr=subprocess.DEVNULL,
                          check=False).returncode == 0


def chrt(priority):
    return [shutil.which("chrt"), "-f", str(priority)] if realtime_allowed() else []


def pipe_latency(mode, lines, gaps_us, priority=None):
    """Microseconds from each write into a pipe to its arrival (bench/pipe_latency.cpp)."""
    prefix = chrt(PRODUCER_PRIORITY) if priority else []
    command = [*prefix, programs["pipe_latency"], mode, str(lines), *map(str, gaps_us)]
    return json.loads(output_of(command + ([str(priority)] if prefix else [])))["us"]


def without_jack():
    return dict(os.environ, JACK_DEFAULT_SERVER=f"hexmidi-bench-none-{os.getpid()}",
                JACK_NO_START_SERVER="1")


@contextlib.contextmanager
def jack(realtime=False):
    # Synchronous, as the figures have always been taken: a late client is waited for, not lost.
    session = jack_harness.JackSession(PERIOD, RATE, realtime, sync=True)
    try:
        session.start()
        yield session
    finally:
        session.stop()


def notes(events):
    """The stream's own note-ons and note-offs, without what a reset adds after them."""
    return [event for event in events if event.data[0] & 0xF0 in (0x80, 0x90)]


def flow(events, expected):
    """What arrived of a stream, counted in whole periods, first to last, as the port buffer is
    filled a period at a time."""
    per_period = collections.Counter(event.frame // PERIOD for event in events)
    first = min(per_period, default=0)
    remaining = iter(expected)
    return {"arrived": len(events),
            "complete": [event.data for event in events] == expected,
            "in_order": all(any(event.data == wanted for wanted in remaining)
                            for event in events),
            "per_s": len(events) * RATE / PERIOD / (max(per_period) - first + 1) if events else 0,
            "most_per_period": max(per_period.values(), default=0),
            "per_period": [per_period[p] for p in range(first, max(per_period, default=-1) + 1)]}


def streams(files, repetitions):
    """A burst of 1,000,000 short messages through hexmidi, then through RtMidi, each on a server of
    its own; then System On messages, six bytes each, the device ID walking through 00 to 7F so
    that one out of order shows, beside as many short messages, one run of each on one server."""
    results = collections.defaultdict(list)
    burst = short_bytes(1_000_000)
    kinds = {}
    for count in (2000, 100_000):
        system_on = [bytes([0xF0, 0x7E, i & 0x7F, 0x09, 0x01, 0xF7]) for i in range(count)]
        kinds[f"short {count}"] = (write_file(f"s{count}", short_lines(count)), short_bytes(count))
        kinds[f"long {count}"] = (write_file(f"l{count}", [f"l 6 {m.hex(' ')}\n"
                                                           for m in system_on]), system_on)
    for _ in range(repetitions):
        with jack() as session:
            usage = run([programs["hexmidi"]], files["1,000,000 lines"], session.env)
            results["hexmidi"].append({**flow(notes(session.events()), burst), "usage": usage})
        with jack() as session, open(os.devnull, "rb") as nothing:
            sender = start([programs["note_producer"], "rtmidi", str(len(burst)), "0", "-", "10"],
                           nothing, session.env, stdout=subprocess.PIPE)
            usage = finish(sender)
            sent = int(sender.stdout.read() or 0)
            sender.stdout.close()
            results["rtmidi"].append({**flow(notes(session.events()), burst[:sent]),
                                      "usage": usage, "sent": sent})
        with jack() as session:
            for kind, (path, expected) in kinds.items():
                session.start_recorder()
                usage = run([programs["hexmidi"]], path, session.env)
                arrived = [e for e in session.events() if e.data[0] in (0x80, 0x90, 0xF0)]
                results[kind].append({**flow(arrived, expected), "usage": usage})
                del results[kind][-1]["per_period"]
    return results


@contextlib.contextmanager
def load(name):
    """Each loop in a process group of its own, ended by that group's id; not niced: they compete
    with hexmidi as a user's build or a runaway process would."""
    cores = range(os.cpu_count() or 1)
    source = os.path.join(ROOT, "winmm_standin", "src", "alsa_backend.cpp")
    compile_once = (f"c++ -std=c++20 -O2 -g -I'{ROOT}/winmm_standin/include' -c '{source}' "
                    f"-o '{directory}/load-$$.o'")
    loop = {"quiet": None, "busy": "while :; do :; done",
            "build": f"while :; do {compile_once} || exit; done"}[name]
    loops = [subprocess.Popen(["sh", "-c", loop], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True) for _ in cores if loop]
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
    """One timed run through the session's server: each message's error, in frames (its latency
    less one period), and how late each cycle of the server reached a client."""
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
    arrived = notes(session.events())
    written = [frame for frame, in lines_of(log)]
    if [event.data for event in arrived] != expected or len(written) != len(expected):
        return {"intact": False, "arrived": len(arrived)}
    errors = [event.frame - frame - PERIOD for event, frame in zip(arrived, written)]
    # How late each cycle reached a client: when the producer's callback ran, against the frame
    # grid. A message's error is put down to the server when a cycle between one period before its
    # write and its arrival was late by half of it or more.
    cycles = lines_of(log + ".cycles")
    offsets = [callback_us - frame * 1e6 / RATE for frame, _, callback_us in cycles]
    late = [(offset - min(offsets)) * RATE / 1e6 for offset in offsets]
    frames = [frame for frame, _, _ in cycles]
    near = [max(late[bisect.bisect_left(frames, w - PERIOD):bisect.bisect_right(frames, w + e)],
                default=0) for w, e in zip(written, map(abs, errors))]
    return {"intact": True, "errors": errors, "cycle_late": late,
            "own": [e for e, n in zip(errors, near) if n < abs(e) / 2]}


def timing(repetitions):
    """Under each load, in turn: hexmidi fed by a real-time producer, RtMidi's JACK output called
    by it, and the floor: a real-time reader of a pipe alone, with the same gaps."""
    expected = short_bytes(TIMED_MESSAGES)
    realtime = realtime_allowed()
    results = {"realtime": realtime, "server_realtime": []}
    for name in ("quiet", "build", "busy"):
        runs = results[name] = {"hexmidi": [], "rtmidi": [], "floor": []}
        with load(name):
            for _ in range(repetitions):
                for way, key in (("pipe", "hexmidi"), ("rtmidi", "rtmidi")):
                    with jack(realtime) as session:
                        results["server_realtime"].append(server_runs_realtime(session))
                        runs[key].append(timed_run(way, session, expected))
                floor = pipe_latency("bare", TIMED_MESSAGES, (0, LONGEST_GAP_US),
                                     READER_PRIORITY)
                runs["floor"].append({"errors": [us * RATE / 1e6 for us in floor]})
    results["server_realtime"] = all(results["server_realtime"])
    return results


def server_runs_realtime(session):
    """Whether any thread of the server runs SCHED_FIFO or SCHED_RR (stat's field 41)."""
    tasks = f"/proc/{session.server_pid}/task"
    return any(open(f"{tasks}/{task}/stat").read().rsplit(")", 1)[1].split()[38] in ("1", "2")
               for task in os.listdir(tasks))


def jack_costs(files, repetitions):
    """CPU while waiting and while a long message drains, peak memory and start-up, through JACK.
    The drain's own cost is measured inside long_message_drain, hand-over to close, less the
    same for six bytes, which is the close alone: hexmidi's whole runs would drown the drain's
    few milliseconds of CPU in the parse's run-to-run spread."""
    figures = collections.defaultdict(list)
    one_message = write_file("one", ["m 7F3C90\n"])
    expected = long_message(1 << 20)
    for _ in range(repetitions):
        with jack() as session:
            figures["idle_cpu_s"].append(silent_pipe_cpu(session.env, 2.0) -
                                         silent_pipe_cpu(session.env, 0))
            for name in ("1,000 lines", "1,000,000 lines"):
                session.start_recorder()
                figures[name].append(run([programs["hexmidi"]], files[name],
                                         session.env)["peak_rss_kib"])
            session.start_recorder()
            whole = run([programs["hexmidi"]], files["1 MiB message"], session.env)
            figures["1 MiB message"].append(whole["peak_rss_kib"])
            figures["long_whole"].append(whole)
            figures["long_intact"].append(
                jack_harness.joined(session.events()).startswith(expected))
            for key, length in (("drain", 1 << 20), ("close", 6)):
                session.start_recorder()
                figures[key].append(json.loads(output_of([programs["long_message_drain"],
                                                          str(length)], env=session.env)))
    for _ in range(5):
        log = os.path.join(directory, "started")
        with jack() as session, open(one_message, "rb") as stdin:
            subprocess.run([programs["note_producer"], "start", log, programs["hexmidi"]],
                           stdin=stdin, stdout=subprocess.DEVNULL, env=session.env, timeout=60)
            events = session.events()
            if events:
                frames = (events[0].frame - lines_of(log)[0][0]) & 0xFFFFFFFF
                figures["start_to_message_ms"].append(frames * 1000 / RATE)
            session.start_recorder()
            figures["start_up_run_ms"].append(
                run([programs["hexmidi"]], one_message, session.env)["wall_s"] * 1e3)
        figures["no_port_run_ms"].append(
            run([programs["hexmidi"]], one_message, without_jack())["wall_s"] * 1e3)
    return figures


def alsa_vm():
    """Streams to an aseqdump client and start-up through the kernel's sequencer, in the virtual
    machine of the ALSA tests, which runs the cases file of tests/vm/bench: one line a run,
    "figure KIND COUNT key=value...". This machine has no sequencer of its own to measure."""
    build_dir = os.path.dirname(programs["hexmidi"])
    try:
        output = subprocess.run(
            [os.path.join(ROOT, "tests", "vm", "run-vm-tests.sh"), build_dir],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=1500,
            env=dict(os.environ, HEXMIDI_VM_CASES_DIR=os.path.join(ROOT, "tests", "vm", "bench")),
            check=False).stdout
    except subprocess.TimeoutExpired:
        return {"not_measured": "the virtual machine did not finish in 25 minutes"}
    runs = collections.defaultdict(list)
    results = os.path.join(build_dir, "vm", "results.clean")
    for line in open(results) if os.path.exists(results) else []:
        fields = line.split()
        if len(fields) > 2 and fields[0] == "figure":
            runs[f"{fields[1]} {fields[2]}"].append(dict(f.split("=", 1) for f in fields[3:]))
    if not runs:
        return {"not_measured": "the virtual machine brought no figures: " +
                " | ".join(output.splitlines()[-3:])}
    seconds = [line.split()[4] for line in output.splitlines()
               if line.startswith("virtual machine ran for")]
    return {"runs": runs, "seconds": seconds[0] if seconds else "?"}


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


def measure(repetitions, with_jack, with_vm):
    results = {"repetitions": repetitions, "load_before": open("/proc/loadavg").read()[:14]}
    files = stream_files()
    say("parsing and dispatch")
    results["parsing"] = google_benchmark("command_parsing_benchmark", repetitions,
                                          "--benchmark_enable_random_interleaving=true")
    if "standin_api_benchmark" in programs:
        results["standin_calls"] = google_benchmark("standin_api_benchmark", repetitions)
    say("pipe to port")
    results["pipe_to_port"] = {way: [pipe_latency("loop", 3000, (100, 1000), priority)
                                     for _ in range(repetitions)]
                               for way, priority in (("normal", None),
                                                     ("realtime", READER_PRIORITY))}
    say("CPU while waiting and peak memory, with no port")
    results["idle_cpu_s"] = [silent_pipe_cpu(without_jack(), 2.0) - silent_pipe_cpu(
        without_jack(), 0) for _ in range(repetitions)]
    results["memory_kib"] = {name: [run([programs["hexmidi"]], path, without_jack())
                                    ["peak_rss_kib"] for _ in range(repetitions)]
                             for name, path in files.items()}
    results["memory_kib"]["/bin/true"] = [run(["/bin/true"], files["1,000 lines"])
                                          ["peak_rss_kib"] for _ in range(repetitions)]
    if with_jack:
        jack_repetitions = min(repetitions, 3)
        say("a burst and streams of small long messages through JACK")
        results["streams"] = streams(files, jack_repetitions)
        say("timing through JACK under three loads, beside the floor")
        results["timing"] = timing(jack_repetitions)
        say("CPU, memory and start-up through JACK")
        results["jack"] = jack_costs(files, jack_repetitions)
    # Last: the emulator takes a whole core.
    if with_vm:
        say("streams and start-up through ALSA, in a virtual machine")
    results["alsa_vm"] = alsa_vm() if with_vm else {"not_measured": "the run used `--no-vm`"}
    results["load_after"] = open("/proc/loadavg").read()[:14]
    return results


def main():
    global directory
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("report")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--no-jack", action="store_true")
    parser.add_argument("--no-vm", action="store_true")
    arguments = parser.parse_args()
    with open(os.path.join(arguments.build_dir, "bench", "bench_programs.json")) as listing:
        programs.update(json.load(listing))
    # The end-to-end tests' harness finds its programs in the environment.
    os.environ["HEXMIDI_BINARY"] = programs["hexmidi"]
    os.environ["HEXMIDI_JACK_RECORDER"] = programs.get("jack_recorder", "")
    with_jack = not arguments.no_jack and "note_producer" in programs
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="hexmidi-bench-") as directory:
        results = measure(arguments.repetitions, with_jack, not arguments.no_vm)
    results["machine"] = machine(arguments.build_dir)
    results["seconds"] = time.monotonic() - started
    figures = os.path.join(arguments.build_dir, "bench", "benchmark_results.json")
    with open(figures, "w") as out:
        json.dump(results, out)
    report.write(figures, arguments.report)
    say(f"wrote {arguments.report} in {results['seconds']:.0f} s")


if __name__ == "__main__":
    main()
