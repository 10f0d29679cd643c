"""Figures taken through the ALSA sequencer inside the virtual machine of the ALSA tests
(tests/vm): the machine runs the benchmark's own cases file (tests/vm/bench), which plays streams
to an aseqdump client and writes one "figure KIND COUNT key=value..." line a run to the results
port. This machine has no sequencer of its own to measure against; that one has a real kernel's.
"""

import os
import subprocess

import spread

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNNER = os.path.join(ROOT, "tests", "vm", "run-vm-tests.sh")
CASES = os.path.join(ROOT, "tests", "vm", "bench")


def _runs(results_path):
    """{(kind, count): [{key: value}, ...]} from the figure lines, in the order they were run."""
    runs = {}
    with open(results_path) as results:
        for line in results:
            fields = line.split()
            if len(fields) < 3 or fields[0] != "figure":
                continue
            values = dict(field.split("=", 1) for field in fields[3:] if "=" in field)
            runs.setdefault((fields[1], int(fields[2])), []).append(values)
    return runs


def _per_s(run):
    # From the first event at aseqdump to the last: the intervals between them, start-up left out.
    span = float(run["first_to_last_s"])
    return (int(run["arrived"]) - 1) / span if span > 0 else 0.0


def _stream(count, short_runs, long_runs):
    rates = {kind: [_per_s(run) for run in runs]
             for kind, runs in (("short", short_runs), ("long", long_runs))}
    # Run by run: the short and the long stream of one turn ran next to each other.
    ratios = [long / short for long, short in zip(rates["long"], rates["short"]) if short > 0]
    return {
        "short_per_s": spread.median(rates["short"]),
        "long_per_s": spread.median(rates["long"]),
        "ratio": spread.summary(ratios) if ratios else None,
        "lost": max(count - int(run["arrived"]) for run in long_runs),
        "short_lost": max(count - int(run["arrived"]) for run in short_runs),
        "in_order": all(run["in_order"] == "yes" for run in long_runs),
        "short_in_order": all(run["in_order"] == "yes" for run in short_runs),
        "short_rate": spread.summary(rates["short"]),
        "long_rate": spread.summary(rates["long"]),
        "short_run_s": spread.summary(float(run["run_s"]) for run in short_runs),
        "long_run_s": spread.summary(float(run["run_s"]) for run in long_runs),
    }


def measure(hexmidi):
    """results["alsa_vm"]: {"long_stream": {count: {...}}, "start_up_ms": median, ...}, or
    {"not_measured": why} when the machine could not run or brought no figures."""
    build_dir = os.path.dirname(os.path.abspath(hexmidi))
    environment = dict(os.environ, HEXMIDI_VM_CASES_DIR=CASES)
    try:
        run = subprocess.run([RUNNER, build_dir], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, env=environment, timeout=1500,
                             check=False)
    except subprocess.TimeoutExpired:
        return {"not_measured": "the virtual machine did not finish in 25 minutes"}
    output = run.stdout.splitlines()
    for line in output:
        if line.startswith("skipped: "):
            return {"not_measured": "the virtual machine could not run: " +
                    line[len("skipped: "):]}
    results_path = os.path.join(build_dir, "vm", "results.clean")
    runs = _runs(results_path) if os.path.exists(results_path) else {}
    streams = {}
    for (kind, count), short_runs in sorted(runs.items()):
        long_runs = runs.get(("long", count))
        if kind == "short" and long_runs:
            streams[count] = _stream(count, short_runs, long_runs)
    if not streams:
        return {"not_measured": "the virtual machine brought no figures (its runner ended: " +
                " | ".join(output[-3:]) + ")"}
    start_up_runs = [run for run in runs.get(("start_up", 1), []) if int(run["arrived"]) > 0]
    start_up = [float(run["start_to_first_ms"]) for run in start_up_runs]
    seconds = [line.split()[4] for line in output if line.startswith("virtual machine ran for")]
    return {
        "long_stream": streams,
        "start_up_ms": spread.median(start_up) if start_up else None,
        "start_up": spread.summary(start_up) if start_up else None,
        "start_up_run_ms": (spread.summary(float(run["run_s"]) * 1e3 for run in start_up_runs)
                            if start_up_runs else None),
        "seconds": int(seconds[0]) if seconds else None,
    }
