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
    return "met" if met else f"**missed**{': ' + missed_by if missed_by else ''}"


class Report:
    def __init__(self, results):
        self.results = results
        self.rows = []      # (item, target, measured, verdict)
        self.sections = []  # markdown blocks
        self.missed = []    # (item, by how much, what would close it)

    def row(self, item, target, measured, met, missed_by="", closing=""):
        self.rows.append((item, target, measured, _verdict(met, missed_by)))
        if not met:
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
    report.row("1. Parsing and dispatch", "≥ 0.8 of the bare scanf loop",
               f"{ratio.median:.3f} of it", ratio.median >= 0.8,
               f"{0.8 - ratio.median:.3f} short of 0.8",
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
    report.row("2. Burst through JACK", "≥ 90 % of the port-buffer ceiling, 0 lost",
               f"{share.median * 100:.1f} %, {max(lost)} lost (RtMidi beside it: "
               f"{_number(arrived.median)} of {_number(sent.median)} arrived)",
               share.median >= 0.9 and max(lost) == 0,
               f"{(0.9 - share.median) * 100:.1f} points short" if share.median < 0.9
               else f"{max(lost)} lost",
               "The program's side fills the ring far faster than the port drains it; a shortfall "
               "means periods that left the buffer part empty, so a larger ring or waking the "
               "writer more often (now every 200 µs) would close it.")


def _timing(report, jack):
    timing = jack["timing"]
    lines = [
        f"{timing['messages']:,} note messages (note-ons, each followed by its note-off) written "
        f"one at a time with random gaps of 0 to {timing['longest_gap_us'] / 1000:g} ms, the same "
        "gaps for both; the producer logs the JACK frame time of each write, the recorder the "
        "frame each message arrived at. Latency is the difference, in frames "
        f"({1e6 / RATE:.1f} µs each; one period is {PERIOD}).",
        "",
        "| | mean | standard deviation | p1 | p99 | p99 − p1 | lowest | highest |",
        "|---|---|---|---|---|---|---|---|"]
    figures = {}
    for name, label in (("hexmidi", "hexmidi, through a pipe"),
                        ("rtmidi", "RtMidi's JACK output, called directly")):
        runs = [run for run in timing["runs"][name] if run["intact"]]
        if not runs:
            lines.append(f"| {label} | did not arrive whole | | | | | | |")
            continue
        figures[name] = {key: spread.summary(run[key] for run in runs)
                         for key in ("mean", "sd", "p1", "p99", "p99_minus_p1", "min", "max")}
        f = figures[name]
        lines.append(f"| {label} | {_ranged(f['mean'], 1)} | {_ranged(f['sd'], 1)} | "
                     f"{_ranged(f['p1'])} | {_ranged(f['p99'])} | {_ranged(f['p99_minus_p1'])} | "
                     f"{_ranged(f['min'])} | {_ranged(f['max'])} |")
    lines += [
        "",
        "RtMidi writes every message at the start of the period that takes it, so its latency "
        "spreads over a whole period. It can even be negative: the frame time of a write is "
        "JACK's extrapolation from the start of the current period by the clock, and when the "
        "server's cycles run late against the clock, as the dummy driver's do on a loaded "
        "machine, the period that takes the message starts at a frame before it. hexmidi sends "
        "each message one period "
        "after the frame at which it was handed over (waiting for the server's "
        "frames to get there when they lag), so its spread is only what happens between "
        "the producer's write and that hand-over: the pipe, the program's wake-up, and on a busy "
        "machine the scheduler."]
    report.section("3. Timing through JACK", *lines)
    if "hexmidi" in figures:
        f = figures["hexmidi"]
        late = f["mean"].median - PERIOD
        jitter = f["p99_minus_p1"].median
        met = abs(late) <= 1 and jitter <= 1
        report.row("3. Timing through JACK", f"one period ({PERIOD} frames), no jitter",
                   f"mean {f['mean'].median:.1f} frames, sd {f['sd'].median:.1f}, "
                   f"p99 − p1 {jitter:.0f}{_rtmidi_timing(figures)}", met,
                   f"mean {late:+.1f} frames off one period, p99 − p1 {jitter:.0f} frames "
                   f"({jitter * 1e6 / RATE:.0f} µs)",
                   "The spread comes from the time between the producer's write and the program's "
                   "hand-over to the ring, which is where the frame is stamped: on a quiet machine "
                   "that is a few microseconds, under a frame. Running jackd and hexmidi with "
                   "real-time priority (jackd -R, and a SCHED_FIFO reading thread) would keep the "
                   "scheduler out of it; stamping the frame earlier is not possible, since the "
                   "program only learns of the message when it has read it.")
    else:
        report.row("3. Timing through JACK", "one period, no jitter", "no whole recording",
                   False, "the messages did not arrive whole", "See the run's raw figures.")


def _rtmidi_timing(figures):
    if "rtmidi" not in figures:
        return ""
    f = figures["rtmidi"]
    return (f" (RtMidi beside it: mean {f['mean'].median:.1f}, sd {f['sd'].median:.1f}, "
            f"p99 − p1 {f['p99_minus_p1'].median:.0f})")


def _pipe_to_port(report):
    pipe = report.results["pipe_to_port"]
    report.section(
        "4. Pipe to port",
        f"The command loop reads a pipe, against the recording stand-in; a producer thread writes "
        f"{pipe['samples']:,} lines one at a time, each after the previous one has arrived plus a "
        "random 0.1 to 1 ms, so the reader is asleep in `read` each time. Time from the write to "
        "the `midiOutShortMsg` call for that line:",
        "",
        f"- median: {_ranged(pipe['median_us'], 1, 'µs')}",
        f"- p99: {_ranged(pipe['p99_us'], 1, 'µs')}",
        f"- highest: {_ranged(pipe['max_us'], 1, 'µs')}")
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

        def cpu(name):
            return spread.summary(u.user_s + u.system_s for u in long[name])

        def wall(name):
            return spread.summary(u.wall_s for u in long[name])

        def drain(figure):
            return ((figure("through_jack").median - figure("through_jack_empty").median) -
                    (figure("without_port").median - figure("without_port_empty").median))

        extra_wall = drain(wall)
        extra_cpu = drain(cpu)
        share = extra_cpu / extra_wall if extra_wall > 0 else float("nan")
        lines += [
            "",
            f"A system-exclusive message of {long['bytes']:,} bytes (one `l` command, 3 MiB of "
            "text) through JACK and with no port, each beside a run whose input is empty. What "
            "the message adds through JACK, less what it adds with no port (reading and parsing "
            "the same text, sending nothing), is the drain alone; its cost is that CPU time over "
            "that wall time. "
            f"It arrived whole: {'yes' if long['intact'] else 'NO'}.",
            "",
            "| | wall s | CPU s |",
            "|---|---|---|",
            f"| through JACK | {_ranged(wall('through_jack'), 3)} | "
            f"{_ranged(cpu('through_jack'), 3)} |",
            f"| through JACK, empty input | {_ranged(wall('through_jack_empty'), 3)} | "
            f"{_ranged(cpu('through_jack_empty'), 3)} |",
            f"| no port | {_ranged(wall('without_port'), 3)} | "
            f"{_ranged(cpu('without_port'), 3)} |",
            f"| no port, empty input | {_ranged(wall('without_port_empty'), 3)} | "
            f"{_ranged(cpu('without_port_empty'), 3)} |",
            f"| the drain | {_number(extra_wall, 3)} | {_number(extra_cpu, 3)}: "
            f"{_number(share, 3)} of a core |"]
        report.row("5. CPU while 1 MiB drains through JACK", "≤ 0.1 of a core",
                   f"{share:.3f} of a core", share <= 0.1, f"{share - 0.1:.3f} over",
                   "The wait polls with 200 µs sleeps; longer sleeps, or a semaphore posted by "
                   "the process callback, would cut it further.")
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
        _timing(report, jack)
    _pipe_to_port(report)
    _cpu(report, jack)
    _memory(report, jack)

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
