"""Turns the figures of one benchmark run into docs/performance.md: each figure beside its target
or its reference from the same run, a verdict, and for every target missed by how much and what
would close it."""

import jack_measurements
import spread

PERIOD = jack_measurements.PERIOD
RATE = jack_measurements.RATE
CEILING_PER_S = jack_measurements.NOMINAL_EVENTS_PER_PERIOD * RATE / PERIOD


def _number(value, digits=0):
    text = f"{value:,.{digits}f}"
    # A difference of two runs that rounds to zero is zero, whichever side it fell on.
    return text[1:] if text.startswith("-") and not text.strip("-0.,") else text


def _ranged(summary, digits=0, unit=""):
    """'median unit (low–high, N runs)'."""
    unit = f" {unit}" if unit else ""
    if summary.runs == 1:
        return f"{_number(summary.median, digits)}{unit} (1 run)"
    return (f"{_number(summary.median, digits)}{unit} "
            f"({_number(summary.low, digits)}–{_number(summary.high, digits)}, "
            f"{summary.runs} runs)")


def _verdict(met, missed_by=""):
    if met is None:
        return missed_by or "no target"
    return "met" if met else f"**missed**{': ' + missed_by if missed_by else ''}"


class Report:
    def __init__(self, results):
        self.results = results
        self.rows = []      # (item, target, measured, verdict)
        self.sections = []  # markdown blocks
        self.missed = []    # (item, by how much, what would close it)

    def row(self, item, target, measured, met, missed_by="", closing=""):
        """met: True, False, or None for a figure with no verdict (missed_by then says why)."""
        self.rows.append((item, target, measured, _verdict(met, missed_by)))
        if met is False:
            self.missed.append((item, missed_by, closing))

    def section(self, title, *lines):
        self.sections.append("\n".join([f"## {title}", "", *lines, ""]))


def _standin_calls(calls):
    """What the stand-in's API layer adds per call, before any backend: the part the counting
    port above leaves out."""
    if not calls:
        return []
    names = {"BM_ShortMessage": "`midiOutShortMsg` (note-on and note-off alternately)",
             "BM_LongMessageCycle/6": "prepare, send and unprepare of a 6-byte message",
             "BM_LongMessageCycle/1048576": "prepare, send and unprepare of a 1 MiB message"}
    return ["",
            "What the Linux stand-in's API layer costs per call on top, over a backend that only "
            "counts (handle check, unpacking, note tracking, the header's flags):",
            "",
            "| call | ns |",
            "|---|---|",
            *[f"| {label} | {_ranged(calls[name], 1)} |" for name, label in names.items()
              if name in calls]]


def _parsing(report):
    parsing = report.results["parsing"]
    ratio = parsing["ratio"]
    report.section(
        "1. Parsing and dispatch",
        "The program's command loop, linked with a stand-in port that only counts, reads a "
        "stream of 1,000,000 `m` lines from a file (note-on and note-off pairs, 9 bytes a line); "
        "beside it a bare loop of `fscanf(\"%c\")` and, on `m`, `fscanf(\"%x\")` over the same "
        "file. Google Benchmark, runs of the two interleaved at random; the ratio is taken run by "
        "run.",
        "",
        "| | commands per second |",
        "|---|---|",
        f"| command loop into a counting port | {_ranged(parsing['program_per_s'])} |",
        f"| bare scanf loop | {_ranged(parsing['bare_per_s'])} |",
        f"| ratio | {_ranged(ratio, 3)} |",
        "",
        f"That is {_number(1e9 / parsing['program_per_s'].median)} ns a command, of which the "
        "C library's formatted input is "
        f"{_number(1e9 / parsing['bare_per_s'].median)} ns.",
        *_standin_calls(report.results.get("standin_calls")),
        "",
        f"(Debian's libbenchmark reports itself as a `{parsing['library_build']}` build; that is "
        "the library's own timing loop, not the code it times.)")
    report.row("1. Parsing and dispatch", "≥ 0.9 of the bare scanf loop",
               f"{ratio.median:.3f} of it", ratio.median >= 0.9,
               f"{0.9 - ratio.median:.3f} short of 0.9",
               "The loop adds one comparison and one call per command to the two `fscanf` "
               "calls; what is left is the stand-in's call and the port bookkeeping.")


def _burst(report, jack):
    burst = jack["burst"]
    messages = burst["messages"]
    ours = burst["runs"]["hexmidi"]
    theirs = burst["runs"]["rtmidi"]
    rate = spread.summary(run["per_s"] for run in ours)
    share = spread.summary(run["per_s"] / CEILING_PER_S for run in ours)
    lost = [messages - run["arrived"] for run in ours]
    most = spread.summary(run["most_per_period"] for run in ours)
    wall = spread.summary(run["usage"].wall_s for run in ours)
    cpu = spread.summary(run["usage"].user_s + run["usage"].system_s for run in ours)
    sent = spread.summary(run["sent"] for run in theirs)
    arrived = spread.summary(run["arrived"] for run in theirs)
    their_rate = spread.summary(run["per_s"] for run in theirs)
    their_cpu = spread.summary(run["usage"].user_s + run["usage"].system_s for run in theirs)
    report.section(
        "2. A burst through JACK",
        f"{messages:,} short messages from a file into hexmidi, through a private JACK server "
        f"(dummy driver, {PERIOD} frames at {RATE} Hz) to a recorder that loses nothing. The "
        "rate is taken from the recorder's frame times, first message to last. The ceiling is "
        f"what JACK's MIDI port buffer holds: {jack_measurements.NOMINAL_EVENTS_PER_PERIOD:,} "
        f"three-byte events a period, {_number(CEILING_PER_S)} a second.",
        "",
        "| | hexmidi | RtMidi's JACK output |",
        "|---|---|---|",
        f"| messages handed over | {messages:,} | {_ranged(sent)} |",
        f"| messages arrived | {_ranged(spread.summary(r['arrived'] for r in ours))} | "
        f"{_ranged(arrived)} |",
        f"| arrived whole and in order | {'yes' if all(r['complete'] for r in ours) else 'NO'} | "
        f"{'in order' if all(r['in_order'] for r in theirs) else 'NOT in order'}"
        f"{'' if all(r['complete'] for r in theirs) else ', some lost'} |",
        f"| messages per second at the recorder | {_ranged(rate)} | {_ranged(their_rate)} |",
        f"| share of the ceiling | {_ranged(share, 3)} | "
        f"{_ranged(spread.summary(r['per_s'] / CEILING_PER_S for r in theirs), 3)} |",
        f"| most events in one period | {_ranged(most)} | "
        f"{_ranged(spread.summary(r['most_per_period'] for r in theirs))} |",
        f"| sender's wall time, s | {_ranged(wall, 2)} | "
        f"{_ranged(spread.summary(r['usage'].wall_s for r in theirs), 2)} |",
        f"| sender's CPU time, s | {_ranged(cpu, 2)} | {_ranged(their_cpu, 2)} |",
        "",
        "RtMidi's `sendMessage` hands every message over without waiting (see the sender's wall "
        "time) and what its JACK output cannot pass on in time is dropped without a word; what "
        "does arrive arrives in order. hexmidi waits for room instead, so its burst takes as "
        "long as the port needs and loses nothing. (The RtMidi sender would stop at a limit of "
        f"{jack_measurements.RTMIDI_BURST_LIMIT_S} s, should a busy machine slow it that much; "
        "the figures would then compare what it had sent.)")
    report.row("2. Burst through JACK", "≥ 99 % of the port-buffer ceiling, 0 lost",
               f"{share.median * 100:.1f} %, {max(lost)} lost (RtMidi beside it: "
               f"{_number(arrived.median)} of {_number(sent.median)} arrived)",
               share.median >= 0.99 and max(lost) == 0,
               f"{(0.99 - share.median) * 100:.1f} points short" if share.median < 0.99
               else f"{max(lost)} lost",
               "The program's side fills the ring far faster than the port drains it; a shortfall "
               "means periods that left the buffer part empty, so a larger ring, or a writer "
               "that wakes before the end of each cycle (now at it), would close it.")


DRAIN_CPU_GOAL = 0.05  # of a core
CABLE_BYTES_PER_S = 31250 / 10  # a MIDI 1.0 cable: 31,250 baud, 10 bits a byte
LONG_CEILING_PER_S = jack_measurements.SIX_BYTE_EVENTS_PER_PERIOD * RATE / PERIOD
ALSA_VM_COUNTS = (2000, 100_000)


def _alsa_not_measured(report):
    why = (report.results.get("alsa_vm") or {}).get("not_measured")
    return f"not measured in this run: {why or 'the virtual machine was not started'}"


def _alsa_stream_row(report, count):
    """The same stream through ALSA in the virtual machine, to an aseqdump client, when the run
    brought its figures (results["alsa_vm"]["long_stream"][count]: short_per_s, long_per_s, lost,
    in_order, and the ratio run by run); marked not measured, and why, otherwise."""
    item = f"2. {count:,} six-byte long messages through ALSA (virtual machine)"
    target = "≥ 0.5 of the short messages' rate, 0 lost, in order"
    figures = ((report.results.get("alsa_vm") or {}).get("long_stream") or {}).get(count)
    if figures is None:
        report.row(item, target, "—", None, _alsa_not_measured(report))
        return
    ratio = (figures["ratio"].median if figures.get("ratio") else
             figures["long_per_s"] / figures["short_per_s"] if figures["short_per_s"] else 0.0)
    report.row(item, target, f"{ratio:.2f} of it ({_number(figures['long_per_s'])} a second, "
               "under emulation), "
               f"{figures['lost']} lost, {'in order' if figures['in_order'] else 'NOT in order'}",
               ratio >= 0.5 and figures["lost"] == 0 and figures["in_order"],
               f"{ratio:.2f} of the short messages' rate, {figures['lost']} lost",
               "Through ALSA a long message is let go of once the kernel holds its event; a "
               "shortfall is the program's side (parsing seven fields a line, an event of "
               "variable length) or aseqdump's printing of the bytes, all on the machine's one "
               "emulated processor.")


def _alsa_start_up(report):
    """results["alsa_vm"]["start_up_ms"], program start to first event at the client, if run."""
    return (report.results.get("alsa_vm") or {}).get("start_up_ms")


def _alsa_start_up_cells(report):
    alsa = report.results.get("alsa_vm") or {}
    if not alsa.get("start_up"):
        return f"{_alsa_not_measured(report)} |"
    whole = alsa.get("start_up_run_ms")
    return f"{_ranged(alsa['start_up'], 1)} | {_ranged(whole, 1) if whole else ''}"


def _alsa_vm(report, jack):
    """The ALSA figures' own section; their summary rows sit beside JACK's when JACK ran."""
    alsa = report.results.get("alsa_vm") or {}
    streams = alsa.get("long_stream")
    if not jack:
        for count in ALSA_VM_COUNTS:
            _alsa_stream_row(report, count)
        start = _alsa_start_up(report)
        report.row("7. Start-up through ALSA (virtual machine)", "figure only",
                   f"{_number(start, 1)} ms" if start is not None else "—", None,
                   "no target" if start is not None else _alsa_not_measured(report))
    if not streams:
        report.section("2c. Streams and start-up through ALSA, in a virtual machine",
                       _alsa_not_measured(report).capitalize() + ".")
        return
    lines = [
        "Streams of `l 6 F0 7E nn 09 01 F7` lines (nn walking through 00 to 7F, so that a "
        "message out of order shows) and as many short messages beside them (note-on and "
        "note-off pairs, the key walking up), played by hexmidi (this build) through the "
        "kernel's ALSA sequencer to an aseqdump client, inside the virtual machine of the ALSA "
        "tests (tests/vm: a stock Debian kernel under qemu, software emulation, one processor; "
        "`tests/vm/bench` holds the cases file). Short and long runs "
        "take turns. aseqdump's output goes through a pipe to a reader that stamps each chunk "
        "as it reads it and keeps it; awk counts the events and checks their order afterwards. "
        "The rate is from the first event at the reader to the last (start-up left out), on the "
        "machine's own clock; the whole run is the program's start to its exit.",
        "",
        "**Under emulation every instruction is translated, so these rates are many times "
        "below what the same kernel does on hardware, and the program, aseqdump and the "
        "reader share one emulated processor: compare the long/short ratio, not the absolute "
        "figures, and not with JACK's.**",
        "",
        "| | messages per second | long / short | lost | in order | whole run, s |",
        "|---|---|---|---|---|---|"]
    for count, figures in sorted(streams.items()):
        lines += [
            f"| {count:,} short | {_ranged(figures['short_rate'])} | | "
            f"{figures['short_lost']} | {'yes' if figures['short_in_order'] else 'NO'} | "
            f"{_ranged(figures['short_run_s'], 2)} |",
            f"| {count:,} six-byte long | {_ranged(figures['long_rate'])} | "
            f"{_ranged(figures['ratio'], 2) if figures['ratio'] else '—'} | {figures['lost']} | "
            f"{'yes' if figures['in_order'] else 'NO'} | {_ranged(figures['long_run_s'], 2)} |"]
    start = alsa.get("start_up")
    lines += [
        "",
        "Start-up, one `m 7F3C90` line as in 7: from the moment just before the program's exec "
        "(bash's `EPOCHREALTIME`, taken in the shell that then becomes the program) to the "
        "first event's line at the reader (Python's `time.time()`: the same clock), so aseqdump's "
        "wake-up and printing are in it: "
        f"{_ranged(start, 1, 'ms') if start else 'nothing arrived'}."]
    if alsa.get("seconds") is not None:
        lines += ["", f"The virtual machine ran for {alsa['seconds']} s, boot included."]
    report.section("2c. Streams and start-up through ALSA, in a virtual machine", *lines)


def _long_stream(report, jack):
    lines = [
        "Streams of General MIDI System On messages, `l 6 F0 7E nn 09 01 F7` a line (the device "
        "ID nn walks through 00 to 7F, so that a message out of order shows), each beside a "
        "stream of as many short messages (`m` lines of note-on and note-off pairs), one run of "
        "each in turn on the same private server. The rate is taken from the recorder's frame "
        "times, counted in whole periods first to last, as for the burst; the run is the "
        "program's whole run, start-up and close included. A six-byte event takes more of the "
        "port buffer than a three-byte one: "
        f"{jack_measurements.SIX_BYTE_EVENTS_PER_PERIOD:,} a period, "
        f"{_number(LONG_CEILING_PER_S)} a second, against "
        f"{jack_measurements.NOMINAL_EVENTS_PER_PERIOD:,} short ones.",
        "",
        "| | messages per second | long / short | lost | whole and in order | "
        "most in one period | stream at the recorder, s | whole run, s | on a MIDI 1.0 cable, s "
        "| at the port-buffer ceiling, s |",
        "|---|---|---|---|---|---|---|---|---|---|"]
    for entry in jack["long_stream"]:
        count = entry["count"]
        runs = entry["runs"]
        rates = {kind: spread.summary(run["per_s"] for run in runs[kind]) for kind in runs}
        ratio = spread.summary(long["per_s"] / short["per_s"]
                               for long, short in zip(runs["long"], runs["short"]))
        for kind, label, message_bytes, ceiling in (
                ("short", "short", 3, CEILING_PER_S), ("long", "six-byte long", 6,
                                                        LONG_CEILING_PER_S)):
            kind_runs = runs[kind]
            lost = max(count - run["arrived"] for run in kind_runs)
            whole = all(run["complete"] for run in kind_runs)
            lines.append(
                f"| {count:,} {label} | {_ranged(rates[kind])} | "
                f"{_ranged(ratio, 2) if kind == 'long' else ''} | {lost} | "
                f"{'yes' if whole else 'NO'} | "
                f"{_ranged(spread.summary(r['most_per_period'] for r in kind_runs))} | "
                f"{_number(count / rates[kind].median, 3)} | "
                f"{_ranged(spread.summary(r['usage'].wall_s for r in kind_runs), 2)} | "
                f"{_number(count * message_bytes / CABLE_BYTES_PER_S, 2)} | "
                f"{_number(count / ceiling, 3)} |")
        lost = max(count - run["arrived"] for run in runs["long"])
        whole = all(run["complete"] for run in runs["long"])
        report.row(f"2. {count:,} six-byte long messages through JACK",
                   "≥ 0.5 of the short messages' rate, 0 lost, in order",
                   f"{ratio.median:.2f} of it ({_number(rates['long'].median)} a second), "
                   f"{lost} lost, {'in order' if whole else 'NOT whole and in order'}",
                   ratio.median >= 0.5 and lost == 0 and whole,
                   f"{ratio.median:.2f} of the short messages' rate, {lost} lost",
                   "Each long message is let go of once its bytes are in the ring; a shortfall "
                   "would be the program's side (parsing seven fields a line) falling behind "
                   "the port.")
        _alsa_stream_row(report, count)
    lines += [
        "",
        "2,000 short messages fit one period's buffer and as many long ones need two, so "
        "counted in whole periods 0.5 is the best ratio the port allows at that length; the "
        "whole run is mostly start-up (see 7). Through ALSA, to an aseqdump client in a "
        "virtual machine, see 2c."]
    report.section("2b. Streams of small long messages through JACK", *lines)


_LOADS = {"quiet": "with no added load", "build": "beside a parallel build",
          "busy": "beside one busy loop per core"}
_WAYS = {"hexmidi": "hexmidi, started as users start it",
         "rtmidi": "RtMidi's JACK output, called directly",
         "hexmidi_at_process_priority": "hexmidi under `chrt -f` at the process threads' priority"}


def _timing_figures(runs):
    intact = [run for run in runs if run["intact"]]
    if not intact or len(intact) < len(runs):
        return None
    figures = {key: spread.summary(run[key] for run in intact)
               for key in ("mean", "sd", "p1", "p99", "p99_minus_p1", "min", "max", "worst")}
    return figures


def _frames(microseconds):
    return microseconds * RATE / 1e6


def _timing(report, jack):
    timing = jack["timing"]
    columns = timing["columns"]
    server = ("real-time (`jackd -R`; its threads were seen running SCHED_FIFO)"
              if timing["server_realtime"] else
              "without real-time scheduling: `jackd -R` was asked for"
              if timing["realtime_allowed"] else
              "without real-time scheduling (`jackd -r`): this machine does not allow it")
    producer = (f"at SCHED_FIFO priority {timing['priority']} (`chrt -f`)"
                if timing["realtime_allowed"] else
                "at normal priority: this machine refused SCHED_FIFO")
    process_priority = timing["process_priority"]
    lines = [
        f"{timing['messages']:,} note messages (note-ons, each followed by its note-off) written "
        f"one at a time with random gaps of 0 to {timing['longest_gap_us'] / 1000:g} ms, the same "
        "gaps every run; the producer logs the JACK frame time of each write, the recorder the "
        "frame each message arrived at. Latency is the difference, in frames "
        f"({1e6 / RATE:.1f} µs each; one period is {PERIOD}); a message's timing error is how far "
        "its latency is from one period, and the worst is the largest of these. The producer "
        "starts a quarter of a second after hexmidi's port has connected, so that start-up (see "
        "7) is not in the figures.",
        "",
        f"Run as users run it: the server {server}; the producer {producer}; hexmidi started at "
        "normal priority, as a shell pipeline starts it. On a real-time server hexmidi raises "
        "its reading thread itself when its input is a pipe, to one below JACK's process threads: "
        f"priority {process_priority - 1} here, where `jackd -R` runs at 10 and its clients' "
        f"process threads at {process_priority}. Three loads, each started before and stopped "
        "(by process group id) after its runs: none added to what the machine was running (see "
        "the load average above); a parallel build (one compiler loop per core, each compiling "
        "the ALSA backend's source again and again, as `make -j$(nproc)` would); one shell busy "
        "loop per core. Within a load, one run of each way in turn.",
        "",
        "| load | | mean | standard deviation | p1 | p99 | p99 − p1 | lowest | highest | worst "
        "error |",
        "|---|---|---|---|---|---|---|---|---|---|"]
    for load, runs_by_way in columns.items():
        for way, runs in runs_by_way.items():
            f = _timing_figures(runs)
            if f is None:
                lines.append(f"| {_LOADS[load]} | {_WAYS[way]} | did not arrive whole "
                             "| | | | | | | |")
                continue
            lines.append(
                f"| {_LOADS[load]} | {_WAYS[way]} | {_ranged(f['mean'], 1)} | "
                f"{_ranged(f['sd'], 1)} | {_ranged(f['p1'])} | {_ranged(f['p99'])} | "
                f"{_ranged(f['p99_minus_p1'])} | {_ranged(f['min'])} | {_ranged(f['max'])} | "
                f"{_ranged(f['worst'])} |")
    lines += [
        "",
        "hexmidi sends each message one period after the frame at which it was handed over to "
        "its ring, so its error is only what happens between the producer's write and that "
        "hand-over: the pipe, and the wake-up of hexmidi's reading thread. RtMidi writes every "
        "message at the start of the period that takes it, so its latency spreads over a whole "
        "period (and may be negative where the server's cycles run late against the clock)."]
    quiet = columns["quiet"]
    own = _timing_figures(quiet["hexmidi"])
    chosen = (_timing_figures(quiet["hexmidi_at_process_priority"])
              if "hexmidi_at_process_priority" in quiet else None)
    if own and chosen:
        lines += [
            "",
            "An earlier run of this benchmark found hexmidi started under `chrt -f` at the "
            "process threads' priority far worse than at normal priority on a quiet machine "
            "(p99 − p1 283 against 73 frames, worst 1,665). Its lowest latencies in those runs, "
            "down to 49 frames, were under one period, which happens only when JACK's frame "
            "clock has run ahead of cycles that came late: the server's own thread, at priority "
            "10, above anything hexmidi could take, was held up as well, so the machine was slow "
            "to run anything while those runs were made, after all the others of that load. "
            "(Every way's worst error also counted the first messages of each run, "
            "which the producer wrote while hexmidi still waited for its new connection to carry "
            "data, up to two periods late; the quarter of a second the producer now waits leaves "
            "them out.) The last row of the quiet load repeats those runs: there, hexmidi under "
            f"`chrt -f {process_priority}` had p99 − p1 "
            f"{_number(chosen['p99_minus_p1'].median)} and worst error "
            f"{_number(chosen['worst'].high)} frames, against "
            f"{_number(own['p99_minus_p1'].median)} and {_number(own['worst'].high)} raising "
            "itself. It still raises itself below the process threads, not to theirs: SCHED_FIFO "
            "lets no thread preempt another of equal priority, so a cycle could wait behind a "
            "burst being parsed."]
    floor = report.results.get("pipe_to_port_realtime")
    if floor:
        lines += [
            "",
            "What the machine allows: a line's way from a pipe to the port with the reader at "
            f"real-time priority, measured alone (section 4), takes "
            f"{_number(floor['p99_us'].median, 1)} µs at p99 "
            f"({_number(_frames(floor['p99_us'].median), 1)} frames) and at most "
            f"{_number(floor['max_us'].high, 1)} µs ({_number(_frames(floor['max_us'].high))} "
            "frames). A real-time thread whose core is busy inside the kernel waits until that "
            f"code lets go of the core (this kernel's preemption model: "
            f"{report.results['machine'].get('preemption', 'unknown')}), and a virtual "
            "machine's processor can be held up by its host as well."]
    report.section("3. Timing through JACK", *lines)

    for load, runs_by_way in columns.items():
        f = _timing_figures(runs_by_way["hexmidi"])
        item = f"3. Timing through JACK, {_LOADS[load]}"
        target = (f"p99 − p1 ≤ {jack_measurements.TIMING_SPREAD_GOAL} frames, worst ≤ "
                  f"{jack_measurements.TIMING_WORST_GOAL} frames "
                  f"({jack_measurements.TIMING_WORST_GOAL * 1e3 / RATE:.2f} ms)")
        if f is None:
            report.row(item, target, "did not arrive whole", False,
                       "messages lost or out of order", "See the run's raw figures.")
            continue
        spread_frames = f["p99_minus_p1"].median
        worst = f["worst"].high
        met = (spread_frames <= jack_measurements.TIMING_SPREAD_GOAL and
               worst <= jack_measurements.TIMING_WORST_GOAL)
        report.row(item, target,
                   f"p99 − p1 {_number(spread_frames)}, worst {_number(worst)} frames "
                   f"({worst * 1e3 / RATE:.2f} ms)", met,
                   f"p99 − p1 {_number(spread_frames)}, worst {_number(worst)} frames",
                   "hexmidi's reading thread runs real-time; what is left is how late the "
                   "machine wakes a real-time thread at all (see what the machine allows, in "
                   "section 3).")


def _start_up(report, jack):
    start = jack["start_up"]
    arrival = start["arrival_ms"]
    alsa = _alsa_start_up(report)
    lines = [
        "One `m 7F3C90` line, hexmidi started fresh each time, as the many scripts that start it "
        "once per note do. Through JACK: from the moment just before the program is started "
        "(fork and exec included) to the message arriving at the recorder, in JACK's frames; one "
        f"period of it ({PERIOD * 1e3 / RATE:.1f} ms) is the port's own latency. Beside it the "
        "whole run, start to exit (the close waits for the message to have left).",
        "",
        "| | program start to first message arriving, ms | whole run, ms |",
        "|---|---|---|",
        f"| through JACK | {_ranged(arrival, 1) if arrival else 'nothing arrived'} | "
        f"{_ranged(_ms(start['jack_run_s']), 1)} |",
        f"| through ALSA (virtual machine, under emulation; see 2c) | "
        f"{_alsa_start_up_cells(report)} |",
        f"| no port | nothing to arrive | {_ranged(_ms(start['no_port_run_s']), 1)} |"]
    report.section("7. Start-up", *lines)
    report.row("7. Start-up through JACK, program start to first message", "figure only",
               f"{_number(arrival.median, 1)} ms" if arrival else "nothing arrived",
               None if arrival else False, "no target", "See section 7.")
    report.row("7. Start-up through ALSA (virtual machine)", "figure only",
               f"{_number(alsa, 1)} ms" if alsa is not None else "—", None,
               "no target" if alsa is not None else _alsa_not_measured(report))
    report.row("7. Start-up with no port, whole run", "figure only",
               f"{_number(start['no_port_run_s'].median * 1e3, 1)} ms", None, "no target")


def _ms(summary):
    return spread.Summary(*(value * 1e3 for value in summary[:3]), summary.runs)


def _pipe_to_port(report):
    pipe = report.results["pipe_to_port"]
    raised = report.results.get("pipe_to_port_realtime")
    lines = [
        f"The command loop reads a pipe, against the recording stand-in; a producer thread writes "
        f"{pipe['samples']:,} lines one at a time, each after the previous one has arrived plus a "
        "random 0.1 to 1 ms, so the reader is asleep in `read` each time. Time from the write to "
        "the `midiOutShortMsg` call for that line, in µs, at normal priority and with the whole "
        "process at SCHED_FIFO priority "
        f"{raised['priority'] if raised else '(not measured: this machine refused it)'}, as "
        "hexmidi's reading thread runs through a real-time JACK server here. With the writer "
        "real-time too, as section 3's producer is, the kernel wakes the reader on the other "
        "processor rather than on the writer's own, which it does at normal priority; waking an "
        "idle virtual processor costs more at the median.",
        "",
        "| | normal priority | SCHED_FIFO |",
        "|---|---|---|"]
    for key, label in (("median_us", "median"), ("p99_us", "p99"), ("max_us", "highest")):
        lines.append(f"| {label} | {_ranged(pipe[key], 1)} | "
                     f"{_ranged(raised[key], 1) if raised else '—'} |")
    report.section("4. Pipe to port", *lines)
    median = pipe["median_us"].median
    report.row("4. Pipe to port", "median < 50 µs", f"median {median:.1f} µs, "
               f"p99 {pipe['p99_us'].median:.1f} µs", median < 50,
               f"{median - 50:.1f} µs over", "The time is the kernel's wake-up of the reader and "
               "two `fscanf` calls; a busy machine delays the wake-up.")


def _cpu(report, jack):
    idle = report.results["idle"]
    lines = [
        f"CPU seconds (user + system) of a run whose input is a pipe that stays open and silent "
        f"for {idle['seconds']:g} s, less those of a run whose input ends at once (start-up and "
        "close):",
        "",
        "| | silent for 2 s | input ends at once | waiting alone |",
        "|---|---|---|---|",
        f"| no MIDI port | {_ranged(idle['cpu_s'], 3)} | {_ranged(idle['cpu_s_at_once'], 3)} | "
        f"{_ranged(idle['waiting_cpu_s'], 3)} |"]
    if jack:
        j = jack["idle"]
        lines.append(f"| through JACK | {_ranged(j['cpu_s'], 3)} | "
                     f"{_ranged(j['cpu_s_at_once'], 3)} | {_ranged(j['waiting_cpu_s'], 3)} |")
    waiting = idle["waiting_cpu_s"].median
    report.row("5. CPU while waiting, no port", "none",
               f"{_number(waiting, 3)} s in {idle['seconds']:g} s", waiting <= 0.002,
               f"{_number(waiting, 3)} s", "The program blocks in `read`.")
    if jack:
        j = jack["idle"]
        waiting = j["waiting_cpu_s"].median
        report.row("5. CPU while waiting, through JACK", "none",
                   f"{waiting:.3f} s in {j['seconds']:g} s "
                   f"({waiting / j['seconds'] * 100:.2f} % of a core)", waiting <= 0.002,
                   f"{waiting:.3f} s in {j['seconds']:g} s",
                   f"The program's own thread blocks in `read`; what remains is libjack's process "
                   f"thread, which the server wakes every period ({RATE / PERIOD:g} times a "
                   "second) whether or not there is anything to send. Every JACK client pays it; "
                   "deactivating the client while the input is silent would save it, at the price "
                   "of reconnecting (and losing the one-period latency) on the next message.")
        long = jack["long_message"]

        def figure(key, name):
            return spread.summary(run[name] for run in long[key])

        whole = long["through_jack"]
        drain_wall = spread.summary(sent["wall_s"] - close["wall_s"]
                                    for sent, close in zip(long["sent"], long["close"]))
        drain_cpu = spread.summary(sent["cpu_s"] - close["cpu_s"]
                                   for sent, close in zip(long["sent"], long["close"]))
        share = drain_cpu.median / drain_wall.median if drain_wall.median > 0 else float("nan")
        lines += [
            "",
            f"A system-exclusive message of {long['bytes']:,} bytes through JACK. hexmidi's whole "
            "run of it (one `l` command, 3 MiB of text, parsed before any of it is sent) "
            f"arrived whole: {'yes' if long['intact'] else 'NO'}. The drain's own cost is "
            "measured inside a small program that sends as many bytes through the stand-in as "
            "hexmidi does, from the hand-over to the close's return, the process's CPU with "
            "libjack's thread; less the same for six bytes, which is what the close costs by "
            "itself. That CPU time over that wall time is the drain's share of a core.",
            "",
            "| | wall s | CPU s |",
            "|---|---|---|",
            f"| hexmidi's whole run | {_ranged(spread.summary(u.wall_s for u in whole), 3)} | "
            f"{_ranged(spread.summary(u.user_s + u.system_s for u in whole), 3)} |",
            f"| {long['bytes']:,} bytes through the stand-in, hand-over to close | "
            f"{_ranged(figure('sent', 'wall_s'), 3)} | {_ranged(figure('sent', 'cpu_s'), 4)} |",
            f"| 6 bytes, the same way | {_ranged(figure('close', 'wall_s'), 3)} | "
            f"{_ranged(figure('close', 'cpu_s'), 4)} |",
            f"| the drain | {_ranged(drain_wall, 3)} | {_ranged(drain_cpu, 4)}: "
            f"{_number(share, 3)} of a core |"]
        report.row("5. CPU while 1 MiB drains through JACK", f"≤ {DRAIN_CPU_GOAL} of a core",
                   f"{share:.3f} of a core", share <= DRAIN_CPU_GOAL,
                   f"{share - DRAIN_CPU_GOAL:.3f} over",
                   "The program's thread wakes once a period, when the process callback posts "
                   "it; the rest is libjack's process thread, which copies the message into the "
                   "port buffer.")
    report.section("5. CPU", *lines)


def _memory(report, jack):
    memory = report.results["memory"]
    floor = report.results["memory_floor_kib"]
    small = memory["1,000 lines"].median
    large = memory["1,000,000 lines"].median
    long = memory["1 MiB message"].median
    longer = memory["2 MiB message"].median
    lines = [
        "Peak resident size (wait4's `ru_maxrss`) of whole runs, in KiB. Each program is started "
        "by a small static launcher, whose own size a child's peak includes: `/bin/true` under the "
        f"same launcher peaks at {_ranged(floor)} KiB.",
        "",
        "| stream | no MIDI port | through JACK |",
        "|---|---|---|"]
    jack_figures = {}
    if jack:
        jack_figures = {
            "1,000 lines": jack["memory_1000"],
            "1,000,000 lines": spread.summary(r["usage"].peak_rss_kib
                                              for r in jack["burst"]["runs"]["hexmidi"]),
            "1 MiB message": spread.summary(u.peak_rss_kib
                                            for u in jack["long_message"]["through_jack"]),
        }
    for name in ("1,000 lines", "1,000,000 lines", "1 MiB message", "2 MiB message"):
        through = _ranged(jack_figures[name]) if name in jack_figures else "not measured"
        lines.append(f"| {name} | {_ranged(memory[name])} | {through} |")
    lines += [
        "",
        f"From the 1 MiB to the 2 MiB message the peak grows by {_number(longer - long)} KiB: the "
        "message's buffer, byte for byte. Against the 1,000-line stream a message adds a constant "
        "few hundred KiB less than its length, at 1, 2 and 4 MiB alike; what a short stream has "
        "resident that a long message's run does not was not traced further."]
    if jack_figures:
        lines += [
            "",
            "Through JACK most of the size is the server's shared memory, which libjack maps and "
            "locks into every client (about 100 MiB here). The program's own 1 MiB ring to the "
            "process callback is written once when the port opens (`jack_ringbuffer_mlock` "
            "answers success and locks nothing in Debian's libjack), so it is resident from the "
            "start and a burst adds nothing to it."]
    report.section("6. Memory", *lines)
    grown = large - small
    report.row("6. Memory, 1,000 against 1,000,000 lines", "the same",
               f"{_number(small)} and {_number(large)} KiB (no port)", abs(grown) <= 256,
               f"{_number(grown)} KiB more", "Nothing of a short message is kept after it is "
               "sent; growth would mean something is.")
    extra = long - small
    report.row("6. Memory, 1 MiB message", "about 1 MiB more (0.5 to 1.5 MiB)",
               f"{_number(extra)} KiB more (no port)", 512 <= extra <= 1536,
               f"{_number(extra - 1024)} KiB off", "The message's buffer is allocated once, at "
               "its exact length; more would mean a second copy.")
    if jack_figures:
        grown = jack_figures["1,000,000 lines"].median - jack_figures["1,000 lines"].median
        extra = jack_figures["1 MiB message"].median - jack_figures["1,000 lines"].median
        report.row("6. Memory through JACK, 1,000 against 1,000,000 lines", "the same",
                   f"{_number(grown)} KiB more", abs(grown) <= 256, f"{_number(grown)} KiB more",
                   "The difference is the program's 1 MiB ring becoming resident as the burst "
                   "fills it (libjack's mlock of it locks nothing); it is bounded by the ring "
                   "and does not grow with the stream. Touching the ring once when the port is "
                   "opened would make it resident from the start, as the mlock meant to, and the "
                   "two figures equal.")
        report.row("6. Memory through JACK, 1 MiB message", "about 1 MiB more (0.5 to 1.5 MiB)",
                   f"{_number(extra)} KiB more", 512 <= extra <= 1536,
                   f"{_number(extra - 1024)} KiB off", "Beside the message's own buffer, the "
                   "message passes through all of the program's 1 MiB ring in 64 KiB pieces and "
                   "so makes it resident, as a burst does; a ring made resident at open would "
                   "leave the message's buffer alone as the difference.")


_PRIVATE_NAMESPACE = ", each in a private /dev/shm and IPC namespace"


def render(results):
    report = Report(results)
    jack = results.get("jack")
    _parsing(report)
    if jack:
        _burst(report, jack)
        _long_stream(report, jack)
    _alsa_vm(report, jack)
    if jack:
        _timing(report, jack)
    _pipe_to_port(report)
    _cpu(report, jack)
    _memory(report, jack)
    if jack:
        _start_up(report, jack)

    m = results["machine"]
    out = [
        "# Performance",
        "",
        "Written by `scripts/run-benchmarks.sh`, which builds the benchmarks, runs them all and "
        "writes this file; run it again to check any figure here. Benchmarks print figures and "
        "assert nothing: the targets below are compared here, not in the tests.",
        "",
        f"- Date: {m['date']}; the whole run took {results['seconds']:.0f} s.",
        f"- Machine: {m['nproc']} cores, {m['cpu']}; Linux {m['kernel']}; {m['compiler']}, "
        f"{m['build_type']} build.",
        f"- JACK {m['jackd']}, RtMidi {m['rtmidi']}; servers run with the dummy driver, "
        f"{PERIOD} frames a period at {RATE} Hz"
        f"{_PRIVATE_NAMESPACE if m['private_jack_namespace'] else ''}.",
        f"- Load average (1, 5, 15 min) before the run: {results['load_before']}; after: "
        f"{results['load_after']}.",
        "",
        "**These figures are noisy.** The machine is shared with other work running at the same "
        f"time, on {m['nproc']} cores. Every figure is the median of its runs "
        f"({results['repetitions']} each, {jack['repetitions'] if jack else 0} for those through "
        "JACK), with the lowest and highest in brackets; compare the ratios and the figures "
        "side by side within one run rather than across runs.",
        "",
        "## Summary",
        "",
        "| measure | target | measured (median) | verdict |",
        "|---|---|---|---|",
    ]
    out += [f"| {item} | {target} | {measured} | {verdict} |"
            for item, target, measured, verdict in report.rows]
    if not jack:
        out += ["", "The JACK measurements (2, 3 and half of 5) were not run: no jackd, or "
                "`--no-jack`."]
    out.append("")
    out += report.sections
    out += ["## Targets missed", ""]
    if report.missed:
        out += [f"- **{item}**, by {by}. {closing}" for item, by, closing in report.missed]
    else:
        out.append("None in this run.")
    out.append("")
    return "\n".join(out)
