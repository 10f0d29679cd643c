#!/usr/bin/env python3
"""Runs the Windows builds of hexmidi under Wine and checks what they do.

    check_under_wine.py win32=BUILD_DIR win64=BUILD_DIR

Each build directory holds hexmidi.exe, recording/ (the same program next to our recording
winmm.dll) and the zip that `cpack -G ZIP` made there. The caller provides the Wine prefix
(WINEPREFIX), already created, and a running wineserver, and names the Wine loader to use in WINE
(`wine` when unset: on a kernel without 32-bit support the caller names the 64-bit loader
itself), and the 64-bit loader in WINE64 where each half of Wine has its own; this script only
starts the program, once per check, and waits for it.

Against Wine's own winmm there is no MIDI device, so the program, as unpacked from the zip, plays
its examples to a refused open; against the recording winmm.dll every call the real binary makes
is written to a log, one line a call, and compared with what the Windows MIDI API asks of a
caller. Prints one line per check and a summary, and exits non-zero when a check fails.
"""

import glob
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import zipfile

# Wine's own messages are kept out of what is checked: none of its debug channels, and no sound
# drivers to complain about a missing ALSA or PulseAudio.
QUIET_DRIVERS = "winealsa.drv,winepulse.drv=d"
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
RUN_TIMEOUT = 30  # seconds; a hung program fails its check instead of the whole run

RECORDED_HANDLE = "4D494449"  # what the recording hands out for an accepted open
EMPTY_HANDLE = "00000000"

# sizeof(MIDIHDR) with the platform's byte packing: LPSTR, 2 DWORD, DWORD_PTR, DWORD, LPMIDIHDR,
# DWORD_PTR, DWORD and DWORD_PTR[8], so 64 bytes with 32-bit pointers and 112 with 64-bit ones.
HEADER_SIZE = {"win32": 64, "win64": 112}

MMSYSERR_BADDEVICEID = 2
MMSYSERR_INVALHANDLE = 5
MMSYSERR_INVALPARAM = 11
MIDIERR_STILLPLAYING = 65
STATUS_CONTROL_C_EXIT = 0xC000013A

# From the MIDI standard: note on and note off (middle C, channel 1) packed first byte lowest, and
# the General MIDI System On message.
NOTE_ON = 0x007F3C90
NOTE_OFF = 0x00403C80
GM_SYSTEM_ON = [0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7]


class Build:
    def __init__(self, arch, directory):
        self.arch = arch
        self.directory = directory = os.path.abspath(directory)
        self.program = os.path.join(directory, "hexmidi.exe")
        self.recording_program = os.path.join(directory, "recording", "hexmidi.exe")
        self.recording_dll = os.path.join(directory, "recording", "winmm.dll")
        self.header_size = HEADER_SIZE[arch]


class Run:
    def __init__(self, status, out, err, consumed):
        self.status, self.out, self.err, self.consumed = status, out, err, consumed


def wine_loader(build):
    """The loader the caller named in WINE: plain `wine` starts through the 32-bit loader, which a
    kernel without 32-bit support refuses. The 64-bit build goes through WINE64 where it is named:
    a loader hands a program of the other half to a process of its own (through start.exe), which
    a signal sent to the process started does not reach."""
    if build.arch == "win64" and os.environ.get("WINE64"):
        return os.environ["WINE64"]
    return os.environ.get("WINE", "wine")


def run_program(build, program, data, dll_overrides=QUIET_DRIVERS, extra_env=None):
    """Runs the program on `data` as its standard input, a regular file shared with us, so that
    after the run its offset tells how much of the input the program read. Its output goes to
    files, not pipes: a Wine service started along with the program would inherit a pipe and hold
    it open long after the program has exited."""
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES=dll_overrides, **(extra_env or {}))
    with tempfile.TemporaryFile() as stdin, tempfile.TemporaryFile() as stdout, \
            tempfile.TemporaryFile() as stderr:
        stdin.write(data)
        stdin.seek(0)
        status = subprocess.run([wine_loader(build), program], stdin=stdin, stdout=stdout,
                                stderr=stderr, env=env, cwd=os.path.dirname(program),
                                timeout=RUN_TIMEOUT).returncode
        consumed = os.lseek(stdin.fileno(), 0, os.SEEK_CUR)
        stdout.seek(0)
        stderr.seek(0)
        return Run(status, stdout.read(), stderr.read(), consumed)


def windows_path(unix_path):
    # Wine's Z: drive is the Unix root.
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def expect_silent_success(run):
    assert run.out == b"", f"printed to stdout: {run.out[:200]!r}"
    assert run.err == b"", f"printed to stderr: {run.err[:200]!r}"
    assert run.status == 0, f"exit status {run.status}"


def record(build, text, script=""):
    """The calls the program makes into the recording winmm.dll, one line each."""
    data = text if isinstance(text, bytes) else text.encode()
    with tempfile.TemporaryDirectory() as directory:
        log = os.path.join(directory, "calls.log")
        run = run_program(build, build.recording_program, data, QUIET_DRIVERS + ";winmm=n",
                          {"HEXMIDI_RECORDING_LOG": windows_path(log),
                           "HEXMIDI_RECORDING_SCRIPT": script})
        expect_silent_success(run)
        assert os.path.exists(log), "the recording winmm.dll was not loaded"
        with open(log) as lines:
            return lines.read().splitlines()


class Expected:
    """The log lines the recording writes, for calls as the Windows MIDI API asks for them."""

    def __init__(self, build, handle=RECORDED_HANDLE):
        self.size = build.header_size
        self.handle = handle

    def open(self, result=0):
        handle = RECORDED_HANDLE if result == 0 else EMPTY_HANDLE
        # input_read=0: nothing of standard input has been read yet.
        return (f"open device=0 callback=0 instance=0 flags=0 input_read=0 -> {result} "
                f"handle={handle}")

    def short(self, message):
        return f"short handle={self.handle} message={message:08X} -> 0"

    def prepare(self, data, others, result=0):
        # others: "fresh" for the zeroed header's first use, "as-left" when every field but the
        # three a caller sets is as the port left it.
        listed = " ".join(f"{byte:02X}" for byte in data)
        return (f"prepare handle={self.handle} header=1 size={self.size} lpData=[{listed}] "
                f"dwBufferLength={len(data)} dwFlags=0 others={others} -> {result}")

    def long(self):
        return f"long handle={self.handle} header=1 size={self.size} -> 0"

    def unprepare(self, result=0):
        return f"unprepare handle={self.handle} header=1 size={self.size} -> {result}"

    def sent(self, data, others, unprepare_results=(0,)):
        return ([self.prepare(data, others), self.long()] +
                [self.unprepare(result) for result in unprepare_results])

    def close(self):
        return [f"reset handle={self.handle} -> 0", f"close handle={self.handle} -> 0"]


def expect_lines(actual, expected):
    if actual == expected:
        return
    report = ["call log differs (- expected, + actual):"]
    for i in range(max(len(actual), len(expected))):
        want = expected[i] if i < len(expected) else "<none>"
        got = actual[i] if i < len(actual) else "<none>"
        report.append(f"  {i:3}  {want}" if want == got else f"- {i:3}  {want}\n+ {i:3}  {got}")
    raise AssertionError("\n".join(report))


# The checks. Each takes a Build and raises AssertionError on failure.

def check_imports(build):
    """Only KERNEL32, msvcrt and WINMM are imported, and the recording exports all of WINMM's."""
    def sections(path):
        # objdump -p: a heading line, then its entries, up to a blank line.
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", path], capture_output=True,
                              text=True, check=True).stdout
        return [block.strip().splitlines() for block in re.split(r"\n\s*\n", dump)]

    imports = {}
    for block in sections(build.program):
        if block and block[0].startswith("DLL Name:"):
            # "vma hint name", or from binutils 2.44 on "vma ordinal hint name", the ordinal
            # <none> and the hint in hex.
            names = [re.match(r"[0-9a-f]+\s+(?:(?:<none>|\d+)\s+)?[0-9a-f]+\s+(\S+)$",
                              line.strip()) for line in block[2:]]
            imports[block[0].split()[-1].upper()] = {name[1] for name in names if name}
    assert set(imports) == {"KERNEL32.DLL", "MSVCRT.DLL", "WINMM.DLL"}, f"imports {sorted(imports)}"

    exported = set()
    for block in sections(build.recording_dll):
        if block and block[0].startswith("[Ordinal/Name Pointer] Table"):
            # "[index] name", or from binutils 2.44 on "[index] +base[ordinal] hint name".
            names = [re.match(r"\[\s*\d+\]\s+(?:\+base\[\s*\d+\]\s+[0-9a-f]+\s+)?(\S+)$",
                              line.strip()) for line in block[1:]]
            exported |= {name[1] for name in names if name}
    assert imports["WINMM.DLL"], "no WINMM imports found"
    missing = imports["WINMM.DLL"] - exported
    assert not missing, f"imported from WINMM but not exported by the recording: {sorted(missing)}"


def check_zip_plays_its_examples(build):
    """The zip cpack made holds hexmidi.exe, the examples, README.txt and LICENSE.txt in CR LF text;
    unpacked, its hexmidi.exe plays each example stream file through Wine's own winmm, which has
    no MIDI device: silent, status 0, the whole file read."""
    zips = glob.glob(os.path.join(build.directory, f"hexmidi-*-{build.arch}.zip"))
    assert len(zips) == 1, f"expected one zip from cpack -G ZIP, found {zips}"
    with tempfile.TemporaryDirectory() as directory, zipfile.ZipFile(zips[0]) as archive:
        folder = os.path.basename(zips[0])[:-len(".zip")]
        names = {name[len(folder) + 1:] for name in archive.namelist() if not name.endswith("/")}
        examples = {f"examples/{name}" for name in os.listdir(EXAMPLES)}
        wanted = {"hexmidi.exe", "README.txt", "LICENSE.txt"} | examples
        assert names == wanted, (f"in {folder}/: missing {sorted(wanted - names)}, "
                                 f"not expected {sorted(names - wanted)}")
        for text in ("README.txt", "LICENSE.txt"):
            data = archive.read(f"{folder}/{text}")
            assert data.endswith(b"\r\n") and b"\n" not in data.replace(b"\r\n", b""), \
                f"{text} has a line end other than CR LF"
        archive.extractall(directory)
        program = os.path.join(directory, folder, "hexmidi.exe")
        for example in sorted(name for name in examples if name.endswith(".txt")):
            with open(os.path.join(directory, folder, example), "rb") as stream:
                data = stream.read()
            run = run_program(build, program, data)
            try:
                expect_silent_success(run)
                assert run.consumed == len(data), f"read {run.consumed} of {len(data)} bytes"
            except AssertionError as error:
                raise AssertionError(f"{example}: {error}") from None


def check_open_and_short_messages(build):
    """Port 0 opened with no callback before any input is read; short messages pass unchanged,
    top byte included, and none merged; reset, then close, at the end."""
    e = Expected(build)
    expect_lines(record(build, "m 7F3C90\nm 403C80 m127F3C90\n\nm 7F3C90m7F3C90"),
                 [e.open(), e.short(NOTE_ON), e.short(NOTE_OFF), e.short(0x127F3C90),
                  e.short(NOTE_ON), e.short(NOTE_ON)] + e.close())


def check_long_messages_through_one_header(build):
    """Before each prepare exactly lpData, dwBufferLength and dwFlags 0 are set, the second time
    too, on the same header; the size passed is sizeof(MIDIHDR)."""
    e = Expected(build)
    expect_lines(record(build, "l 6 F0 7E 7F 09 01 F7\nl 3 F0 7D F7\nm 7F3C90\n"),
                 [e.open()] + e.sent(GM_SYSTEM_ON, "fresh") + e.sent([0xF0, 0x7D, 0xF7], "as-left")
                 + [e.short(NOTE_ON)] + e.close())


def check_waits_while_still_playing(build):
    """Unprepare is called again at once while it answers 65, and any other answer ends the wait;
    the next command is carried out only after."""
    e = Expected(build)
    playing, invalid = MIDIERR_STILLPLAYING, MMSYSERR_INVALPARAM
    calls = record(build, "l 6 F0 7E 7F 09 01 F7\nm 7F3C90\nl 1 F7 m 403C80\n",
                   f"unprepare={playing},{playing},{playing},0,{playing},{invalid}")
    expect_lines(calls, [e.open()] + e.sent(GM_SYSTEM_ON, "fresh", (playing, playing, playing, 0))
                 + [e.short(NOTE_ON)] + e.sent([0xF7], "as-left", (playing, invalid))
                 + [e.short(NOTE_OFF)] + e.close())


def check_refused_prepare(build):
    """A refused prepare is followed by neither the long message nor an unprepare."""
    e = Expected(build)
    calls = record(build, "l 6 F0 7E 7F 09 01 F7\nm 7F3C90\nl 3 F0 7D F7\n",
                   f"prepare={MMSYSERR_INVALPARAM}")
    expect_lines(calls, [e.open(), e.prepare(GM_SYSTEM_ON, "fresh", MMSYSERR_INVALPARAM),
                         e.short(NOTE_ON)] + e.sent([0xF0, 0x7D, 0xF7], "fresh") + e.close())


def check_refused_open(build):
    """With the open refused, every command is still carried out, against the empty handle."""
    e = Expected(build, EMPTY_HANDLE)
    invalid = MMSYSERR_INVALHANDLE
    calls = record(build, "m 7F3C90\nl 6 F0 7E 7F 09 01 F7\nm 403C80\n",
                   f"open={MMSYSERR_BADDEVICEID};prepare={invalid}")
    expect_lines(calls, [e.open(MMSYSERR_BADDEVICEID), e.short(NOTE_ON),
                         e.prepare(GM_SYSTEM_ON, "fresh", invalid), e.short(NOTE_OFF)] + e.close())


def check_text_mode_input(build):
    """Standard input is in text mode: CR LF reads as LF, and a 0x1A byte ends the input there."""
    # Enough lines that CR LF pairs fall across the C library's buffer boundaries.
    lf_text = "".join(f"m {i:06X}\nl 2\nF0\nF7\n" for i in range(600))
    expect_lines(record(build, lf_text.replace("\n", "\r\n")), record(build, lf_text))

    e = Expected(build)
    expect_lines(record(build, b"m 7F3C90\r\n\x1am 403C80\nl 1 F7\n"),
                 [e.open(), e.short(NOTE_ON)] + e.close())


def check_ctrl_c(build):
    """Ctrl-C while the program waits for input: the run stops, the port is reset, then closed,
    nothing else is sent, and the process ends with STATUS_CONTROL_C_EXIT.

    Wine turns a SIGINT sent to the process into the console's CTRL_C_EVENT and runs the
    program's control handler on a thread of its own; that is the one console event it can
    deliver here (Ctrl-Break and closing the console window need a console, which a program run
    without one does not have). Wine cannot cancel a read that is blocked on a Unix pipe
    (NtCancelSynchronousIoFile answers STATUS_NOT_FOUND), so the blocked read ends here only when
    more input comes. Nothing outside the process shows when the handler has asked the run to
    stop, so line ends, commands that do nothing, are fed until the reset is logged: no input
    here is known to come after the stop, and that such input is not carried out is the command
    loop's unit test's to check. Unix keeps the low byte of the exit code, 0x3A."""
    e = Expected(build)
    with tempfile.TemporaryDirectory() as directory, tempfile.TemporaryFile() as stdout, \
            tempfile.TemporaryFile() as stderr:
        log = os.path.join(directory, "calls.log")
        env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES=QUIET_DRIVERS + ";winmm=n",
                   HEXMIDI_RECORDING_LOG=windows_path(log), HEXMIDI_RECORDING_SCRIPT="")
        # Unbuffered: each write reaches the pipe at once, and none is left over to fail at close.
        process = subprocess.Popen([wine_loader(build), build.recording_program],
                                   stdin=subprocess.PIPE, stdout=stdout, stderr=stderr, env=env,
                                   bufsize=0, cwd=os.path.dirname(build.recording_program))
        try:
            process.stdin.write(b"m 7F3C90\n")

            def logged():
                if not os.path.exists(log):
                    return []
                with open(log) as lines:
                    return lines.read().splitlines()

            deadline = time.monotonic() + RUN_TIMEOUT
            while len(logged()) < 2:
                assert time.monotonic() < deadline, f"no short message logged: {logged()}"
                time.sleep(0.05)
            process.send_signal(signal.SIGINT)
            # Each line end ends the blocked read; the run stops at the first one read after the
            # handler has asked it to.
            deadline = time.monotonic() + RUN_TIMEOUT
            try:
                while not any(line.startswith("reset ") for line in logged()):
                    assert time.monotonic() < deadline, f"no reset logged: {logged()}"
                    process.stdin.write(b"\n")
                    time.sleep(0.05)
                process.stdin.close()
            except BrokenPipeError:
                pass  # the process has already ended: the call log tells how
            status = process.wait(RUN_TIMEOUT)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        stdout.seek(0)
        stderr.seek(0)
        assert stdout.read() == b"", "printed to stdout"
        assert stderr.read() == b"", "printed to stderr"
        calls = logged()
    assert calls and calls[0].startswith("open device=0 "), f"first call {calls[:1]}"
    expect_lines(calls[1:], [e.short(NOTE_ON)] + e.close())
    assert status == STATUS_CONTROL_C_EXIT & 0xFF, f"exit status {status}"


CHECKS = [check_imports, check_zip_plays_its_examples, check_open_and_short_messages,
          check_long_messages_through_one_header, check_waits_while_still_playing,
          check_refused_prepare, check_refused_open, check_text_mode_input, check_ctrl_c]


def main(arguments):
    builds = [Build(*argument.split("=", 1)) for argument in arguments]
    if not builds:
        sys.exit(__doc__)
    passed = failed = 0
    for build in builds:
        for check in CHECKS:
            name = f"{build.arch} {check.__name__[len('check_'):]}"
            try:
                check(build)
            except (AssertionError, subprocess.SubprocessError, OSError) as error:
                failed += 1
                detail = str(error) or traceback.format_exc()
                print(f"FAIL {name}: {detail}")
            else:
                passed += 1
                print(f"ok   {name}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
