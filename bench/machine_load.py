"""Load beside a measurement, and the real-time scheduling users give the programs around hexmidi.

The loads are started and stopped here, each in a process group of its own, ended by that group's
id when the measurement is over (also when it fails):

    parallel_build(source_dir, directory)  one compiler loop per core, each compiling a source of
                                           the project again and again: a `make -j$(nproc)`.
    busy_loops()                           one shell loop per core that never sleeps.

Neither is niced: they compete with hexmidi as a user's build or a runaway process would.
"""

import contextlib
import os
import shutil
import signal
import subprocess
import time

# What each compiler loop builds: the heaviest source the program has, with the flags a build
# uses; the object goes to a scratch directory.
BUILD_SOURCE = "winmm_standin/src/alsa_backend.cpp"
# Until every loop is at full speed: a compiler's first seconds are spent starting up.
SETTLE_S = 1.0
# SCHED_FIFO priority for the producer: below the JACK server's own threads, which jackd -R puts
# at 10, above every ordinary process.
PRODUCER_PRIORITY = 5
# Where jackd -R puts its clients' process threads: its own priority, 10 by default, less 5.
JACK_CLIENT_PRIORITY = 5
# Where hexmidi raises its reading thread under such a server: one below the process threads.
HEXMIDI_PRIORITY = JACK_CLIENT_PRIORITY - 1


def realtime_allowed():
    """Whether this process may start a program at SCHED_FIFO (root, or an rtprio limit)."""
    try:
        return subprocess.run(["chrt", "-f", str(PRODUCER_PRIORITY), "true"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              check=False).returncode == 0
    except OSError:
        return False


def as_realtime(command, priority=PRODUCER_PRIORITY):
    # A full path: the benchmarks' launcher runs its program with execv, which searches no PATH.
    return [shutil.which("chrt") or "/usr/bin/chrt", "-f", str(priority), *command]


def realtime_threads(pid):
    """How many threads of a process run at a real-time policy (SCHED_FIFO or SCHED_RR): a
    server that asked for real-time scheduling and was refused keeps running without it."""
    count = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # Field 41 of stat is the policy; the split above starts at field 3.
        if int(fields[38]) in (1, 2):
            count += 1
    return count


def _start_group(command):
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)


def _stop_group(process):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGKILL)
    process.wait()


@contextlib.contextmanager
def _running(commands):
    processes = []
    try:
        for command in commands:
            processes.append(_start_group(command))
        time.sleep(SETTLE_S)
        yield
    finally:
        for process in processes:
            _stop_group(process)


def parallel_build(source_dir, directory):
    source = os.path.join(source_dir, BUILD_SOURCE)
    include = os.path.join(source_dir, "winmm_standin", "include")
    commands = []
    for core in range(os.cpu_count() or 1):
        target = os.path.join(directory, f"load-{core}.o")
        compile_once = (f"c++ -std=c++20 -O2 -g -I'{include}' -c '{source}' -o '{target}'")
        commands.append(["sh", "-c", f"while :; do {compile_once} || exit; done"])
    return _running(commands)


def busy_loops():
    return _running([["sh", "-c", "while :; do :; done"]] * (os.cpu_count() or 1))
