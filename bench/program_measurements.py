"""The measurements that need no JACK server: the command loop's cost against a bare scanf loop,
a line's way from pipe to port, the CPU of waiting on a silent pipe, and peak memory."""

import json
import os
import subprocess

import process_usage
import spread


def _json_of(command):
    return json.loads(subprocess.run(command, check=True, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True).stdout)


def parsing(programs, repetitions):
    """Commands per second of the command loop and of the bare loop, runs interleaved at random
    so that a noisy moment of the machine hits both alike; the ratio is taken run by run."""
    report = _json_of([programs["command_parsing_benchmark"], "--benchmark_format=json",
                       f"--benchmark_repetitions={repetitions}",
                       "--benchmark_enable_random_interleaving=true"])
    rates = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") == "iteration":
            rates.setdefault(entry["run_name"], []).append(entry["items_per_second"])
    program = rates["BM_CommandLoopIntoCountingPort"]
    bare = rates["BM_BareScanfLoop"]
    return {
        "program_per_s": spread.summary(program),
        "bare_per_s": spread.summary(bare),
        "ratio": spread.summary(p / b for p, b in zip(program, bare)),
        "library_build": report["context"].get("library_build_type", "unknown"),
    }


def standin_calls(programs, repetitions):
    """Nanoseconds per call of the stand-in's API layer over a backend that only counts."""
    if "standin_api_benchmark" not in programs:
        return None
    report = _json_of([programs["standin_api_benchmark"], "--benchmark_format=json",
                       f"--benchmark_repetitions={repetitions}"])
    times = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") == "iteration":
            per_item = 1e9 / entry["items_per_second"]
            times.setdefault(entry["run_name"], []).append(per_item)
    return {name: spread.summary(values) for name, values in times.items()}


def pipe_to_port(programs, repetitions, samples=3000, prefix=()):
    """`prefix` runs the benchmark under another program: chrt, for a real-time reader."""
    runs = [_json_of([*prefix, programs["pipe_to_port_latency"], str(samples)])
            for _ in range(repetitions)]
    return {
        "samples": samples,
        "median_us": spread.summary(run["median_us"] for run in runs),
        "p99_us": spread.summary(run["p99_us"] for run in runs),
        "max_us": spread.summary(run["max_us"] for run in runs),
    }


def idle_cpu(program, repetitions, env, seconds=2.0):
    """CPU seconds of a run whose input stays open and silent for `seconds`, beside a run whose
    input ends at once: the difference is what waiting costs, start-up and close left out."""
    waiting, at_once = [], []
    for _ in range(repetitions):
        waiting.append(process_usage.cpu_s(
            process_usage.run_on_silent_pipe([program], seconds, env)))
        at_once.append(process_usage.cpu_s(process_usage.run_on_silent_pipe([program], 0, env)))
    return {"seconds": seconds, "cpu_s": spread.summary(waiting),
            "cpu_s_at_once": spread.summary(at_once),
            "waiting_cpu_s": spread.summary(w - a for w, a in zip(waiting, at_once))}


def peak_memory(program, repetitions, streams, env):
    """Peak resident size in KiB for each named stream file."""
    return {name: spread.summary(process_usage.run([program], path, env).peak_rss_kib
                                 for _ in range(repetitions))
            for name, path in streams.items()}


def write_streams(programs, directory):
    """The stream files every whole-process measurement reads, made by stream_writer."""
    wanted = {"1,000 lines": ("short", 1000), "1,000,000 lines": ("short", 1_000_000),
              "1 MiB message": ("long", 1 << 20), "2 MiB message": ("long", 2 << 20)}
    paths = {}
    for name, (kind, count) in wanted.items():
        path = os.path.join(directory, f"{kind}-{count}.txt")
        with open(path, "wb") as out:
            subprocess.run([programs["stream_writer"], kind, str(count)], stdout=out, check=True)
        paths[name] = path
    return paths
