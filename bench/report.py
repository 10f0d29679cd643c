"""Fills the tables of docs/performance.md from one run's figures, and draws its pictures beside it.

    python3 bench/report.py <benchmark_results.json> <report.md> [table...]

The text is written by hand: only what stands between a `<!-- figures: NAME -->` line and the
next `<!-- end -->` is replaced, by the table NAME; where tables are named, only those, and in
the summary only their rows. A figure repeated over runs is their median, with the lowest and
highest in brackets.
"""

import json
import os
import re
import statistics
import sys

PERIOD, RATE = 256, 48000
CEILING_PER_S = 2727 * RATE / PERIOD  # three-byte events one period of JACK's port buffer holds
LOADS = {"quiet": "no added load", "build": "a parallel build", "busy": "a busy loop per core"}
WAYS = {"hexmidi": "hexmidi", "rtmidi": "RtMidi's JACK output", "floor": "real-time pipe reader"}


def number(value, digits=0):
    text = f"{value:,.{digits}f}"
    return text.lstrip("-") if not text.strip("-0.,") else text


def spread(values, digits=0):
    values = list(values)
    if not values:
        return "not measured"
    middle = number(statistics.median(values), digits)
    if len(values) == 1:
        return middle
    return f"{middle} ({number(min(values), digits)}–{number(max(values), digits)})"


def table(header, *rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return lines + ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]


def quantile(values, share):
    return statistics.quantiles(values, n=100, method="inclusive")[round(share * 100) - 1]


def ratio(value, reference):
    return value / reference if reference else float("inf")


def worst(errors):
    return max(abs(error) for error in errors)


def median(values):
    return statistics.median(list(values))


def summary(r):
    """Each figure against its target; one the run did not take is left out."""
    s, j, vm = r.get("streams", {}), r.get("jack", {}), alsa_runs(r)
    parse = lambda: list(map(ratio, r["parsing"]["BM_CommandLoopIntoCountingPort"],  # noqa: E731
                             r["parsing"]["BM_BareScanfLoop"]))
    pipe = lambda: [statistics.median(run) for run in r["pipe_to_port"]["normal"]]  # noqa: E731
    share = lambda: [run["per_s"] / CEILING_PER_S for run in s["hexmidi"]]  # noqa: E731
    lost = lambda: max(1_000_000 - run["arrived"] for run in s["hexmidi"])  # noqa: E731
    rows = [("parsing, against the bare scanf loop", "≥ 0.90",
             lambda: (spread(parse(), 3), median(parse()) >= 0.9)),
            ("burst through JACK: share of the port's ceiling, lost", "≥ 0.99, 0",
             lambda: (f"{spread(share(), 3)}, {lost()}", median(share()) >= 0.99 and not lost())),
            *[(f"{count:,} long through {where}: rate against short ones, lost, in order",
               "≥ 0.5, 0, yes", lambda runs=runs, count=count: long_figures(runs, count))
              for count in (2000, 100000) for where, runs in (("JACK", s.get), ("ALSA", vm))],
            *[(f"timing beside {name}: p99 − p1, worst", "≤ 4, ≤ 8 frames",
               lambda load=load: timing_figures(r["timing"][load]["hexmidi"]))
              for load, name in LOADS.items()],
            ("pipe to port, median", "< 50 µs", lambda: (spread(pipe(), 1), median(pipe()) < 50)),
            *[(f"CPU while waiting 2 s, {where}", "≤ 0.001 s",
               lambda cpu=cpu: (spread(cpu(), 3), median(cpu()) <= 0.001))
              for where, cpu in (("no port", lambda: r["idle_cpu_s"]),
                                 ("through JACK", lambda: j["idle_cpu_s"]))],
            ("CPU while 1 MiB drains through JACK", "≤ 0.05 of a core",
             lambda: (spread(drain_share(r), 3), median(drain_share(r)) <= 0.05)),
            ("one-note run on jackd, against the bare client's", "≤ 1.15",
             lambda: (number(note_ratio(r["one_note"]["jackd"]), 2),
                      note_ratio(r["one_note"]["jackd"]) <= 1.15))]
    for where, kib in (("no port", r.get("memory_kib", {})), ("through JACK", j)):
        more = lambda name, kib=kib: median(kib[name]) - median(kib["1,000 lines"])  # noqa: E731
        rows += [(f"memory, {where}: 1,000,000 lines against 1,000", "≤ 256 KiB more",
                  lambda more=more: (number(more("1,000,000 lines")),
                                     more("1,000,000 lines") <= 256)),
                 (f"memory, {where}: a 1 MiB message", "512 to 1,536 KiB more",
                  lambda more=more: (number(more("1 MiB message")),
                                     512 <= more("1 MiB message") <= 1536))]
    return table(("measure", "target", "measured", "met"),
                 *[(name, target, figures[0], "yes" if figures[1] else "**missed**")
                   for name, target, row in rows for figures in [taken(row)] if figures])


def taken(row):
    try:
        return row()
    except (KeyError, TypeError, statistics.StatisticsError):
        return None


def long_figures(runs, count):
    short, long = runs(f"short {count}"), runs(f"long {count}")
    ratios = [l["per_s"] / s["per_s"] for s, l in zip(short, long) if s["per_s"]]
    lost = max(count - run["arrived"] for run in long)
    ordered = all(run["in_order"] for run in long)
    return (f"{spread(ratios, 2)}, {lost}, {'yes' if ordered else 'no'}",
            median(ratios) >= 0.5 and not lost and ordered)


def timing_figures(runs):
    errors = [run["errors"] for run in runs if run["intact"]]
    spreads = [quantile(e, .99) - quantile(e, .01) for e in errors]
    worsts = [worst(e) for e in errors]
    return f"{spread(spreads)}, {spread(worsts)}", median(spreads) <= 4 and median(worsts) <= 8


def run_table(r):
    m = r["machine"]
    return table(("", ""), ("date, whole run", f"{m['date']}, {r['seconds']:.0f} s"),
                 ("machine", f"{m['cores']} cores, {m['cpu']}; Linux {m['kernel']}, "
                             f"{m['preemption']}; {m['compiler']}, {m['build_type']}"),
                 ("JACK, RtMidi", f"{m['jack']}, {m['rtmidi']}; private /dev/shm: "
                                  f"{m['private_namespace']}; jackd -R threads real-time: "
                                  f"{r.get('timing', {}).get('server_realtime')}"),
                 ("load average before, after", f"{r['load_before']}; {r['load_after']}"),
                 ("runs of each", f"{r['repetitions']}, through JACK {min(r['repetitions'], 3)}"))


def parsing(r):
    program, bare = r["parsing"]["BM_CommandLoopIntoCountingPort"], r["parsing"]["BM_BareScanfLoop"]
    return table(("", "figure"), ("command loop, commands a second", spread(program)),
                 ("bare scanf loop, commands a second", spread(bare)),
                 ("ratio, run by run", spread(map(ratio, program, bare), 3)))


def burst(r):
    b = r["streams"]

    def row(label, value, digits=0):
        return (label, *(spread((value(run) for run in b[way]), digits)
                         for way in ("hexmidi", "rtmidi")))

    return table(("", "hexmidi", "RtMidi's JACK output"),
                 ("messages handed over", "1,000,000", spread(run["sent"] for run in b["rtmidi"])),
                 row("messages arrived", lambda run: run["arrived"]),
                 ("arrived whole and in order", *(
                     "yes" if all(run["complete"] for run in b[way]) else
                     "in order, some lost" if all(run["in_order"] for run in b[way]) else "no"
                     for way in ("hexmidi", "rtmidi"))),
                 row("messages a second at the recorder", lambda run: run["per_s"]),
                 row("share of the port's ceiling", lambda run: run["per_s"] / CEILING_PER_S, 3),
                 row("most in one period", lambda run: run["most_per_period"]),
                 row("sender's wall time, s", lambda run: run["usage"]["wall_s"], 2),
                 row("sender's CPU time, s", lambda run: run["usage"]["cpu_s"], 2))


def stream_rows(runs_of):
    return [(f"{count:,} {kind}", spread(run["per_s"] for run in runs),
             max(count - run["arrived"] for run in runs),
             "yes" if all(run["in_order"] for run in runs) else "no",
             spread((run["usage"]["wall_s"] for run in runs), 2))
            for count in (2000, 100000) for kind in ("short", "long")
            for runs in [runs_of(f"{kind} {count}")]]


STREAM_HEADER = ("stream", "messages a second", "lost", "in order", "whole run, s")


def jack_streams(r):
    return table(STREAM_HEADER, *stream_rows(r["streams"].__getitem__))


def alsa_runs(r):
    return lambda key: [
        {"per_s": (int(run["arrived"]) - 1) / float(run["first_to_last_s"]),
         "arrived": int(run["arrived"]), "in_order": run["in_order"] == "yes",
         "usage": {"wall_s": float(run["run_s"])}}
        for run in r["alsa_vm"]["runs"][key] if float(run["first_to_last_s"]) > 0]


def alsa(r):
    vm = r["alsa_vm"]
    start_up = vm["runs"]["start_up 1"]
    return table(STREAM_HEADER, *stream_rows(alsa_runs(r)),
                 ("start-up: program start to the event at the reader, ms",
                  spread((float(run["start_to_first_ms"]) for run in start_up), 1), "", "",
                  spread((float(run["run_s"]) for run in start_up), 2)),
                 ("the virtual machine's whole time, boot included, s", vm["seconds"], "", "", ""))


def timing(r):
    rows = []
    for load, name in LOADS.items():
        runs = {way: [run for run in runs if run.get("intact", True)]
                for way, runs in r["timing"][load].items()}
        floor = [run["errors"] for run in runs["floor"]]
        for way, label in WAYS.items():
            errors = [[abs(e) for e in run["errors"]] for run in runs[way]]
            p99 = [quantile(e, .99) for e in errors]
            own = [worst(run["own"] or [0]) for run in runs[way] if "own" in run]
            against_floor = way != "floor"
            rows.append((name if way == "hexmidi" else "", label, spread(p99, 1),
                         spread(map(worst, errors), 1),
                         *((spread(map(ratio, p99, (quantile(f, .99) for f in floor)), 1),
                            spread(map(ratio, map(worst, errors), map(worst, floor)), 1),
                            spread(max(run["cycle_off"]) for run in runs[way]),
                            spread(own, 1), spread(map(ratio, own, map(worst, floor)), 1))
                           if against_floor else [""] * 5)))
    return table(("load", "", "p99", "worst", "p99 / floor's", "worst / floor's", "server off by, most",
                  "worst, server's left out", "that / floor's worst"), *rows)


def pipe_to_port(r):
    ways = r["pipe_to_port"]
    return table(("µs", "normal priority", "SCHED_FIFO"),
                 *[(name, *(spread(map(pick, ways[way]), 1) for way in ("normal", "realtime")))
                   for name, pick in (("median", statistics.median),
                                      ("p99", lambda run: quantile(run, .99)), ("highest", max))])


def drain_share(r):
    j = r["jack"]
    return [(d["cpu_s"] - c["cpu_s"]) / (d["wall_s"] - c["wall_s"])
            for d, c in zip(j["drain"], j["close"])]


def cpu(r):
    j = r["jack"]
    return table(("", "figure"), ("waiting 2 s, no port, CPU s", spread(r["idle_cpu_s"], 3)),
                 ("waiting 2 s through JACK, CPU s", spread(j["idle_cpu_s"], 3)),
                 ("1 MiB message, hexmidi's whole run, wall s",
                  spread((run["wall_s"] for run in j["long_whole"]), 3)),
                 ("1 MiB message, hexmidi's whole run, CPU s",
                  spread((run["cpu_s"] for run in j["long_whole"]), 3)),
                 ("1 MiB message arrived whole", "yes" if all(j["long_intact"]) else "no"),
                 ("drain alone, wall s", spread((d["wall_s"] - c["wall_s"]
                                                 for d, c in zip(j["drain"], j["close"])), 3)),
                 ("drain alone, share of a core", spread(drain_share(r), 4)))


def memory(r):
    kib, jack = r["memory_kib"], r.get("jack", {})
    return table(("peak resident KiB", "no port", "through JACK"),
                 *[(name, spread(kib[name]), spread(jack.get(name, [])))
                   for name in ("1,000 lines", "1,000,000 lines", "1 MiB message",
                                "2 MiB message")],
                 ("`/bin/true`, the launcher's floor", spread(kib["/bin/true"]), ""))


def start_up(r):
    j = r["jack"]
    return table(("ms", "program start to first message", "whole run"),
                 ("through JACK", spread(j["start_to_message_ms"], 1),
                  spread(j["start_up_run_ms"], 1)),
                 ("no port", "", spread(j["no_port_run_ms"], 1)))


def note_ratio(runs):
    return ratio(median(runs["hexmidi"]), median(runs["bare"]))


def one_note(r):
    o = r["one_note"]
    return table(("ms, whole run", "hexmidi", "bare client", "hexmidi / bare",
                  "runs kept (left out): hexmidi; bare"),
                 *[(name, spread(runs["hexmidi"], 1), spread(runs["bare"], 1),
                    number(note_ratio(runs), 2),
                    "; ".join(f"{len(runs[way])} ({', '.join(map(str, out)) or 0})"
                              for way in ("hexmidi", "bare") for out in [runs["left_out"][way]]))
                   for name, runs in (("jackd", o["jackd"]), ("PipeWire", o["pipewire"]))],
                 ("taken", o["date"], "", "", ""))


def pipewire(r):
    """A column a server's version, PipeWire's first; the shares against what it carries."""
    p = r.get("pipewire") or {"stacks": [], "not_measured": ["not measured in this run"]}
    stacks = sorted(p["stacks"], key=lambda s: (s["server"] == "jackd",
                                                 [int(part) for part in s["version"].split(".")]))

    def row(label, value):
        return (label, *(value(s) for s in stacks))

    def stream(key, name, unit, sent, i):
        return [row(f"{name}: most {unit} in one period, of what it allows", lambda s: (
                    f"{number(s[key]['most_per_period'])} of {number(s['allows'][i])}")),
                row(f"{name}: {unit} a second", lambda s: number(s[key]["per_s"])),
                row(f"{name}: rate, share of what it allows",
                    lambda s: number(s[key]["per_s"] * PERIOD / RATE / s["allows"][i], 3)),
                row(f"{name}: arrived whole", lambda s: "yes" if s[key]["complete"] else
                    f"no: {s[key]['arrived']:,} of {sent:,} {unit} arrived")]

    if not stacks:
        return table(("not measured",), *[(why,) for why in p["not_measured"]])
    return table(("", *(f"{'PipeWire' if s['server'] == 'pipewire' else 'jackd'} {s['version']}"
                        for s in stacks)),
                 row("where", lambda s: s["where"]),
                 *stream("burst", "burst", "messages", 1_000_000, 0),
                 *stream("sysex", "1 MiB SysEx", "bytes", 1 << 20, 1),
                 row("one note, hexmidi, ms", lambda s: spread(s["one_note"]["hexmidi"], 1)),
                 row("one note, bare client, ms", lambda s: spread(s["one_note"]["bare"], 1)),
                 row("one note, hexmidi / bare", lambda s: number(note_ratio(s["one_note"]), 2)),
                 row("one note, runs left out: hexmidi; bare", lambda s: "; ".join(
                     ", ".join(map(str, s["one_note"]["left_out"][way])) or "0"
                     for way in ("hexmidi", "bare"))),
                 ("taken", p.get("date", ""), *[""] * (len(stacks) - 1)),
                 *[("not measured", why, *[""] * (len(stacks) - 1)) for why in p["not_measured"]])


def engines(r):
    rows = [(name, "yes" if e["intact"] else "no", number(e["latency_ms"], 1),
             f"{number(e['error_p99_ms'], 2)}; {number(e['error_worst_ms'], 2)}",
             f"{number(e['burst_per_s'], 0)}; {'yes' if e['burst_complete'] else 'no'}")
            for name, e in (("jackd alone", r["engines"]["jackd"]),
                            ("netjack2, master and slave", r["engines"]["netjack"]),
                            (f"RTP-MIDI, PipeWire {r['engines'].get('rtp', {}).get('version')} "
                             "(Debian 13 root)", r["engines"].get("rtp", {})))
            if "intact" in e]
    if "not_measured" in r["engines"].get("rtp", {}):
        rows.append(("RTP-MIDI", "not measured: " + r["engines"]["rtp"]["not_measured"], "", "",
                     ""))
    # The virtual machine's, under emulation: a note from the program's start, and 2,000 short
    # messages, directly to aseqdump and through aseqnet.
    runs = r.get("alsa_vm", {}).get("runs", {})
    for name, start, stream in (("sequencer alone (virtual machine)", "start_up 1", "short 2000"),
                                ("aseqnet (virtual machine)", "aseqnet_start_up 1",
                                 "aseqnet_short 2000")):
        if runs.get(start) and runs.get(stream):
            rows.append((name, "yes" if all(run["in_order"] == "yes" and run["arrived"] == "2000"
                                            for run in runs[stream]) else "no",
                         f"{spread((float(run['start_to_first_ms']) for run in runs[start]), 1)}"
                         " from start", "",
                         f"{number(alsa_runs(r)(stream)[0]['per_s'], 0)} (2,000)"))
    return table(("through", "intact", "latency, ms (median)", "timing error, ms: p99; worst",
                  "burst of 100,000: messages a second; all arrived"), *rows)


def draw(results, directory):
    """timing.png and burst.png beside the report; with no JACK figures, nothing."""
    if "timing" not in results:
        return
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"font.size": 11})
    to_ms = (lambda frames: frames * 1e3 / RATE, lambda ms: ms * RATE / 1e3)
    figure, axes = plt.subplots(3, 1, figsize=(8, 10), sharex=True, layout="constrained")
    for axis, (load, name) in zip(axes, LOADS.items()):
        for way, label in WAYS.items():
            errors = sorted(abs(e) for run in results["timing"][load][way]
                            for e in run.get("errors", []))
            share = [1 - i / len(errors) for i in range(len(errors))]
            axis.step(errors, share, where="post", label=label)
        axis.axvline(8, color="grey", linestyle=":", label="target: 8 frames")
        axis.set(yscale="log", ylim=(2e-4, 1.1), xlim=(0, 320), title=f"beside {name}",
                 ylabel="share of messages later")
        axis.grid(alpha=0.3)
        axis.secondary_xaxis("top", functions=to_ms).set_xlabel("ms" if load == "quiet" else "")
    axes[-1].set_xlabel("timing error, frames (256 frames = one period)")
    axes[0].legend(loc="upper right")
    figure.savefig(os.path.join(directory, "performance-timing.png"), dpi=100)
    figure, axis = plt.subplots(figsize=(8, 4), layout="constrained")
    axis.axhline(2727, color="grey", linestyle=":", label="the port buffer's ceiling")
    for way, label in (("hexmidi", "hexmidi"), ("rtmidi", "RtMidi's JACK output")):
        run = results["streams"][way][0]
        axis.step([i * PERIOD * 1e3 / RATE for i in range(len(run["per_period"]))],
                  run["per_period"], where="post", linewidth=4 if way == "hexmidi" else 1.5,
                  marker="o" if len(run["per_period"]) < 20 else None,  # a run of a period or two
                  label=f"{label}: {run['arrived']:,} of 1,000,000 arrived")
    axis.set(xlabel="time since the first message, ms", ylabel="messages in the period",
             ylim=(0, 3400), title="1,000,000 short messages through JACK, one run of each")
    axis.secondary_xaxis("top", functions=(to_ms[1], to_ms[0])).set_xlabel("frames")
    axis.grid(alpha=0.3)
    axis.legend(loc="lower center")
    figure.savefig(os.path.join(directory, "performance-burst.png"), dpi=100)


def write(figures_path, report_path, only=None):
    with open(figures_path) as figures:
        results = json.load(figures)
    with open(report_path) as report:
        text = report.read()
    tables = {"run": run_table, "summary": summary, "parsing": parsing, "burst": burst,
              "jack_streams": jack_streams, "alsa": alsa, "timing": timing,
              "pipe_to_port": pipe_to_port, "cpu": cpu, "memory": memory, "start_up": start_up,
              "one_note": one_note, "pipewire": pipewire, "engines": engines}

    def fill(match):
        name = match.group(1)
        if only and name not in (*only, "summary"):
            return match.group(0)
        lines = taken(lambda: tables[name](results)) or table(
            ("not measured in this run",), (results.get("alsa_vm", {}).get("not_measured", ""),))
        if only and name == "summary":  # the other rows stay as the last whole run left them
            new = {line.split(" | ")[0]: line for line in lines[2:]}
            lines = [new.pop(line.split(" | ")[0], line)
                     for line in match.group(2).splitlines()] + list(new.values())
        return f"<!-- figures: {name} -->\n" + "\n".join(lines) + "\n<!-- end -->"

    text = re.sub(r"<!-- figures: (\w+) -->\n(.*?)<!-- end -->", fill, text, flags=re.S)
    with open(report_path, "w") as report:
        report.write(text)
    if not only:
        draw(results, os.path.dirname(os.path.abspath(report_path)))


if __name__ == "__main__":
    write(*sys.argv[1:3], sys.argv[3:] or None)
