"""Whole-process figures of one run of a program: wall time, CPU time and peak resident size.

Every program is run under measured_run, which forks it and reads wait4()'s rusage of that child
alone. Reading rusage here, in Python, was rejected: a child's peak resident size includes what
its parent had resident when it forked, so it would report Python's size, not the program's.
/usr/bin/time -v does the same job but reports CPU to the hundredth of a second only.
"""

import collections
import json
import os
import signal
import subprocess
import tempfile
import time

Usage = collections.namedtuple("Usage", "returncode wall_s user_s system_s peak_rss_kib")

_launcher = None


def use_launcher(path):
    global _launcher
    _launcher = path


def cpu_s(usage):
    return usage.user_s + usage.system_s


def start(command, stdin, env=None, stdout=subprocess.DEVNULL):
    """Starts `command` under measured_run, in a process group of its own so that a run that
    overstays can be ended whole; output thrown away unless `stdout` says otherwise."""
    handle, result = tempfile.mkstemp(prefix="hexmidi-bench-", suffix=".json")
    os.close(handle)
    process = subprocess.Popen([_launcher, result, *command], stdin=stdin, stdout=stdout,
                               stderr=subprocess.DEVNULL, env=env, start_new_session=True)
    process.result_path = result
    return process


def finish(process, timeout=120):
    """Waits for a process from start() and returns its Usage. One still running after `timeout`
    seconds is killed, with its process group, and the measurement fails."""
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise RuntimeError(f"{process.args[2]} did not finish within {timeout} s")
    try:
        with open(process.result_path) as result:
            figures = json.load(result)
    finally:
        os.unlink(process.result_path)
    return Usage(figures["status"], figures["wall_s"], figures["user_s"], figures["system_s"],
                 figures["peak_rss_kib"])


def run(command, stdin_path, env=None, timeout=120):
    """Runs `command` to its end with the file at `stdin_path` as its standard input."""
    with open(stdin_path, "rb") as stdin:
        return finish(start(command, stdin, env), timeout)


def run_on_silent_pipe(command, seconds, env=None):
    """Runs `command` with a pipe on its standard input that stays open and silent for `seconds`,
    then closes: the program's cost of waiting for input."""
    process = start(command, subprocess.PIPE, env)
    time.sleep(seconds)
    process.stdin.close()
    return finish(process)
