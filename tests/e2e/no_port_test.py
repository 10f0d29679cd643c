"""hexmidi with no port to play to: it still reads all of its input, prints nothing, exits 0."""

import os
import shutil
import subprocess
import tempfile
import unittest

from jack_harness import JackTestCase, PipedRun, environment_without_server, hexmidi_binary

# Short and long messages, some of them malformed, a megabyte or so in all.
STREAM = (b"m 7F3C90\nl 6 F0 7E 7F 09 01 F7\nm 40\nl 3 F0 zz F7\nm 003C80\n" * 20000 +
          b"l 10000 " + b"F0 " + b"55 " * 0xFFFE + b"F7\n")


def play_through_pipe(test, env):
    """A program that stops reading early shows as a writer that meets a broken pipe, or that is
    left blocked."""
    run = PipedRun([hexmidi_binary()], env)
    test.addCleanup(run.kill)
    run.feed(STREAM)
    finished = run.finish()
    test.assertEqual((finished.returncode, finished.stdout, finished.stderr, finished.all_read),
                     (0, b"", b"", True))
    return finished.seconds


class NoPort(JackTestCase):
    def test_without_a_server_all_input_is_read_silently(self):
        seconds = play_through_pipe(self, environment_without_server())
        print(f"no server: {len(STREAM)} bytes of input read in {seconds:.2f} s")

    def test_a_server_without_a_midi_input_port_is_no_port(self):
        session = self.session(recorder=False)
        seconds = play_through_pipe(self, session.env)
        print(f"server without a MIDI input: {len(STREAM)} bytes read in {seconds:.2f} s")

    def test_an_input_file_is_read_to_its_end(self):
        with tempfile.TemporaryFile() as stream:
            stream.write(STREAM)
            stream.seek(0)
            # The file offset is shared with the child: where it stands afterwards is how far
            # the program read.
            run = subprocess.run([hexmidi_binary()], stdin=stream, capture_output=True,
                                 env=environment_without_server(), timeout=60,
                                 check=False)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
            self.assertEqual(os.lseek(stream.fileno(), 0, os.SEEK_CUR), len(STREAM))


# Runs in a private mount namespace: an empty /dev with only null in it, so there is no /dev/shm
# (libjack cannot even set up its metadata database, and says so on stderr unless the program
# keeps it from reaching anything) and no /dev/snd (no ALSA sequencer): every backend is missing.
# Exits 77, with the reason on stderr, when the namespace cannot be set up.
WITHOUT_DEV = """
set -u
work=$1; shift
{
  mount --make-rprivate / &&
  touch "$work/null" && mount --bind /dev/null "$work/null" &&
  mount -t tmpfs -o size=64k,mode=755 none /dev &&
  touch /dev/null && mount --bind "$work/null" /dev/null
} 2>"$work/setup.log" || { cat "$work/setup.log" >&2; exit 77; }
exec "$@"
"""


class NothingToPlayTo(JackTestCase):
    def test_no_shared_memory_and_no_sequencer_print_nothing(self):
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("needs root and unshare(1) for a private mount namespace")
        with tempfile.TemporaryDirectory() as work, tempfile.TemporaryFile() as stream:
            stream.write(STREAM)
            stream.seek(0)
            run = subprocess.run(["unshare", "--mount", "sh", "-c", WITHOUT_DEV, "sh", work,
                                  hexmidi_binary()],
                                 stdin=stream, capture_output=True,
                                 env=environment_without_server(), timeout=60, check=False)
            if run.returncode == 77:
                self.skipTest(f"no private mount namespace here: {run.stderr.decode().strip()}")
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
            self.assertEqual(os.lseek(stream.fileno(), 0, os.SEEK_CUR), len(STREAM))


if __name__ == "__main__":
    unittest.main()
