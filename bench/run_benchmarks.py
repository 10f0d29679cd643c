"""Runs every benchmark against one build tree and writes the report.

    python3 bench/run_benchmarks.py <build dir> <report.md> [--repetitions N] [--no-jack] [--no-vm]

The build tree must have been configured with -DHEXMIDI_BUILD_BENCHMARKS=ON and built; it lists
its programs in bench/bench_programs.json. Progress goes to standard error; the raw figures are
kept beside the programs as bench/benchmark_results.json.
"""

import argparse
import datetime
import gzip
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests", "e2e"))

import alsa_vm_measurements  # noqa: E402
import jack_measurements  # noqa: E402
import machine_load  # noqa: E402
import performance_report  # noqa: E402
import process_usage  # noqa: E402
import program_measurements  # noqa: E402


def say(text):
    print(f"== {text}", file=sys.stderr, flush=True)


def _first_line(command):
    try:
        output = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, check=False).stdout
    except OSError:
        return "unknown"
    return output.strip().splitlines()[0] if output.strip() else "unknown"


def _cpu_model():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def _load_average():
    with open("/proc/loadavg") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def _preemption():
    """The kernel's preemption model, as its configuration names it: how long a real-time thread
    may wait for a core that is busy inside the kernel."""
    try:
        with gzip.open("/proc/config.gz", "rt") as config:
            chosen = [line.split("=")[0][len("CONFIG_"):] for line in config
                      if line.rstrip() in ("CONFIG_PREEMPT_NONE=y", "CONFIG_PREEMPT_VOLUNTARY=y",
                                           "CONFIG_PREEMPT=y", "CONFIG_PREEMPT_RT=y",
                                           "CONFIG_PREEMPT_DYNAMIC=y")]
    except OSError:
        return "unknown"
    return ", ".join(chosen) or "unknown"


def _build_type(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_BUILD_TYPE:"):
                return line.split("=", 1)[1].strip() or "none"
    return "unknown"


def machine(build_dir):
    return {
        "build_type": _build_type(build_dir),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": os.cpu_count(),
        "cpu": _cpu_model(),
        "kernel": platform.release(),
        "preemption": _preemption(),
        "jackd": _first_line(["pkg-config", "--modversion", "jack"]),
        "rtmidi": _first_line(["pkg-config", "--modversion", "rtmidi"]),
        "compiler": _first_line(["c++", "--version"]),
    }


def measure(programs, repetitions, with_jack, with_vm, directory):
    results = {"repetitions": repetitions, "load_before": _load_average()}
    no_server = jack_measurements.no_server_environment()
    streams = program_measurements.write_streams(programs, directory)

    say("1. parsing and dispatch")
    results["parsing"] = program_measurements.parsing(programs, repetitions)
    results["standin_calls"] = program_measurements.standin_calls(programs, repetitions)
    say("4. pipe to port")
    results["pipe_to_port"] = program_measurements.pipe_to_port(programs, repetitions)
    if machine_load.realtime_allowed():
        priority = machine_load.HEXMIDI_PRIORITY
        results["pipe_to_port_realtime"] = {
            "priority": priority,
            **program_measurements.pipe_to_port(
                programs, repetitions, prefix=machine_load.as_realtime([], priority))}
    say("5. CPU while waiting on a silent pipe")
    results["idle"] = program_measurements.idle_cpu(programs["hexmidi"], repetitions, no_server)
    say("6. peak memory")
    results["memory"] = program_measurements.peak_memory(programs["hexmidi"], repetitions,
                                                         streams, no_server)
    results["memory_floor_kib"] = program_measurements.peak_memory(
        "/bin/true", repetitions, {"floor": streams["1,000 lines"]}, no_server)["floor"]

    results["jack"] = None
    if with_jack and jack_measurements.available():
        jack_repetitions = max(1, min(repetitions, 3))
        jack = {"repetitions": jack_repetitions}
        say("2. a burst through JACK, hexmidi and RtMidi")
        jack["burst"] = jack_measurements.burst(programs, streams["1,000,000 lines"],
                                                jack_repetitions)
        say("2b. streams of small long messages through JACK")
        jack["long_stream"] = jack_measurements.long_stream(programs, (2000, 100_000),
                                                            jack_repetitions, directory)
        say("3. timing through JACK: quiet, beside a parallel build, beside busy loops")
        jack["timing"] = jack_measurements.timing(programs, 2000, 3000, jack_repetitions,
                                                  directory)
        say("5. CPU while waiting, and while a long message drains, through JACK")
        jack["idle"] = jack_measurements.idle_with_server(programs, jack_repetitions)
        jack["long_message"] = jack_measurements.long_message_drain(
            programs, streams["1 MiB message"], jack_repetitions)
        say("6. peak memory through JACK")
        jack["memory_1000"] = jack_measurements.peak_memory_with_server(
            programs, streams["1,000 lines"], jack_repetitions)
        say("7. start-up")
        jack["start_up"] = jack_measurements.start_up(programs, 5, no_server, directory)
        results["jack"] = jack
    # The same streams to an aseqdump client, and the start-up, through the ALSA sequencer: in
    # the virtual machine of the ALSA tests, last, since the emulator takes a whole core.
    if with_vm:
        say("8. streams and start-up through ALSA, in a virtual machine")
        results["alsa_vm"] = alsa_vm_measurements.measure(programs["hexmidi"])
    else:
        results["alsa_vm"] = {"not_measured": "the run was made with `--no-vm`"}
    results["load_after"] = _load_average()
    return results


def _as_json(value):
    if hasattr(value, "_asdict"):
        return {key: _as_json(item) for key, item in value._asdict().items()}
    if isinstance(value, dict):
        return {key: _as_json(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_as_json(item) for item in value]
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir")
    parser.add_argument("report")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--no-jack", action="store_true", help="skip the JACK measurements")
    parser.add_argument("--no-vm", action="store_true",
                        help="skip the ALSA measurements in the virtual machine")
    arguments = parser.parse_args()

    with open(os.path.join(arguments.build_dir, "bench", "bench_programs.json")) as listing:
        programs = json.load(listing)
    process_usage.use_launcher(programs["measured_run"])
    # The end-to-end tests' harness finds its programs in the environment.
    os.environ["HEXMIDI_BINARY"] = programs["hexmidi"]
    if "jack_recorder" in programs:
        os.environ["HEXMIDI_JACK_RECORDER"] = programs["jack_recorder"]
    with_jack = not arguments.no_jack and "note_producer" in programs

    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="hexmidi-bench-") as directory:
        results = measure(programs, arguments.repetitions, with_jack, not arguments.no_vm,
                          directory)
    results["machine"] = machine(arguments.build_dir)
    private = os.environ.get("HEXMIDI_BENCH_PRIVATE_SHM") == "1"
    results["machine"]["private_jack_namespace"] = private
    results["seconds"] = time.monotonic() - started

    with open(os.path.join(arguments.build_dir, "bench", "benchmark_results.json"), "w") as raw:
        json.dump(_as_json(results), raw, indent=1)
    with open(arguments.report, "w") as report:
        report.write(performance_report.render(results))
    say(f"wrote {arguments.report} in {results['seconds']:.0f} s")


if __name__ == "__main__":
    main()
