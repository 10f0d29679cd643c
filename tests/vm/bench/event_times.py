"""Stamps aseqdump's output as it comes: copies it to FILE until the run's last event (the
reset's sustain off on the last channel) or the end of it, and prints the time.time() of the first
and of the last line that holds MARKER (a message of the stream), as "first=T last=T":

    event_times.py MARKER FILE < aseqdump's output

A line is stamped when the chunk that completes it is read: aseqdump flushes its output after
each batch it takes from the sequencer, so a stamp is at most one batch late. The lines are only
kept here, not parsed: counting them is awk's job, after the run, where it takes no time from it.
"""

import os
import re
import sys
import time

marker, path = sys.argv[1].encode(), sys.argv[2]
end = re.compile(rb"Control change +15, controller 64, value 0")
chunks, first, last, partial = [], None, None, b""
while True:
    data = os.read(0, 1 << 16)
    now = time.time()
    if not data:
        break
    chunks.append(data)
    # Only whole lines count: a full stdio buffer may break a line between two writes.
    lines, _, partial = (partial + data).rpartition(b"\n")
    if marker in lines:
        first = now if first is None else first
        last = now
    if end.search(lines):
        break
with open(path, "wb") as out:
    out.write(b"".join(chunks))
print(f"first={first if first is not None else 0:.6f} last={last if last is not None else 0:.6f}")
