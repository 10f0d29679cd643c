"""Names for private JACK servers, chosen so that servers that die badly cost nothing later.

jackd keeps every running server in a shared registry of only eight slots, and frees a slot on
a clean exit. A server that is killed leaves its slot behind, and jackd takes such a slot back
only for a new server of the same name. Names unique to each run (a pid in them, say) would
therefore fill the registry for good after eight bad exits, and no server could start on the
machine any more. So tests use a small pool of fixed names instead, each claimed with a lock
file for as long as its server runs; a slot left behind by one of them is taken back the next
time its name is used.

    claim_server_name() -> ServerName   .name, and .release() when the server has stopped.
    reclaim_dead_slots() -> list[str]    takes back the slots of servers whose process is gone,
                                         whatever their names (others' tests too): for each, a
                                         server of that name is started and stopped cleanly,
                                         which is jackd's own way of freeing it. For when a
                                         server fails with "Too many servers already active".
"""

import fcntl
import os
import signal
import struct
import subprocess
import tempfile
import time

POOL_SIZE = 8
_REGISTRY = "/dev/shm/jack-shm-registry"
# jack_shm_header_t: a 24-byte header, then eight jack_shm_server_t of a pid_t and a 257-byte
# name, 264 bytes with padding. The name is "jack-<uid>:<server name>:".
_FIRST_SLOT, _SLOT_SIZE, _SLOTS = 24, 264, 8


class ServerName:
    def __init__(self, name, lock):
        self.name = name
        self._lock = lock

    def release(self):
        if self._lock is not None:
            self._lock.close()
            self._lock = None


def claim_server_name():
    """The first name of the pool that no other test holds."""
    directory = tempfile.gettempdir()
    for slot in range(POOL_SIZE):
        name = f"hexmidi-e2e-{slot}"
        lock = open(os.path.join(directory, f"{name}.lock"), "w")
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            continue
        return ServerName(name, lock)
    raise AssertionError(f"all {POOL_SIZE} JACK server names are in use by other tests")


def _dead_server_names():
    try:
        with open(_REGISTRY, "rb") as registry:
            data = registry.read(_FIRST_SLOT + _SLOTS * _SLOT_SIZE)
    except OSError:
        return []
    names = []
    for slot in range(_SLOTS):
        offset = _FIRST_SLOT + slot * _SLOT_SIZE
        if len(data) < offset + _SLOT_SIZE:
            break
        (pid,) = struct.unpack_from("i", data, offset)
        entry = data[offset + 4:offset + _SLOT_SIZE].split(b"\0")[0].decode(errors="replace")
        if pid <= 0 or os.path.exists(f"/proc/{pid}"):
            continue
        # "jack-<uid>:<name>:"
        parts = entry.split(":")
        if len(parts) >= 3 and parts[1]:
            names.append(parts[1])
    return names


def _answers(name, env):
    return subprocess.run(["jack_wait", "-c", "-s", name], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=False).stdout.startswith(b"running")


def reclaim_dead_slots():
    reclaimed = []
    for name in _dead_server_names():
        env = dict(os.environ, JACK_NO_START_SERVER="1")
        server = subprocess.Popen(["jackd", "-r", "-n", name, "-d", "dummy", "-p", "256"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=env)
        deadline = time.monotonic() + 5
        while server.poll() is None and time.monotonic() < deadline and not _answers(name, env):
            time.sleep(0.05)
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(5)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        reclaimed.append(name)
    return reclaimed
