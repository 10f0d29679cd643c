"""Fills the tables of docs/performance.md from one run's figures, and draws its pictures.

    python3 bench/report.py <benchmark_results.json> <report.md>

The report is written by hand; this only replaces what stands between a `<!-- figures: NAME -->`
line and the next `<!-- end -->` with the table NAME, and redraws the pictures beside it. Every
figure repeated over runs is their median, with the lowest and highest in brackets.
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


def met(ok):
    return "yes" if ok else "**missed**"


def table(header, *rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return lines + ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]


def quantile(values, share):
    return statistics.quantiles(values, n=100, method="inclusive")[round(share * 100) - 1]


def ratio(value, reference):
    return value / reference if reference else float("inf")


def worst(errors):
    return max(abs(error) for error in errors)


class Tables:
    def __init__(self, results):
        self.r = results
        self.jack = "streams" in results
        self.streams = results.get("streams", {})

    def run(self):
        m, r = self.r["machine"], self.r
        return table(("", ""), ("date", m["date"]), ("whole run", f"{r['seconds']:.0f} s"),
                     ("machine", f"{m['cores']} cores, {m['cpu']}"),
                     ("kernel", f"{m['kernel']}, preemption {m['preemption']}"),
                     ("build", f"{m['compiler']}, {m['build_type']}"),
                     ("JACK, RtMidi", f"{m['jack']}, {m['rtmidi']}; private /dev/shm: "
                                      f"{'yes' if m['private_namespace'] else 'no'}; jackd -R "
                                      f"real-time: {r.get('timing', {}).get('server_realtime')}"),
                     ("load average before, after", f"{r['load_before']}; {r['load_after']}"),
                     ("runs of each measure", f"{r['repetitions']}, through JACK "
                                              f"{min(r['repetitions'], 3)}"))

    def summary(self):
        r, rows = self.r, []
        ratio = [p / b for p, b in zip(r["parsing"]["BM_CommandLoopIntoCountingPort"],
                                       r["parsing"]["BM_BareScanfLoop"])]
        rows.append(("parsing, against the bare scanf loop", "≥ 0.90", spread(ratio, 3),
                     met(statistics.median(ratio) >= 0.9)))
        if self.jack:
            runs = self.streams["hexmidi"]
            share = statistics.median(run["per_s"] / CEILING_PER_S for run in runs)
            lost = max(1_000_000 - run["arrived"] for run in runs)
            rows.append(("burst through JACK: share of the port's ceiling, lost",
                         "≥ 0.99, 0", f"{share:.3f}, {lost}", met(share >= 0.99 and not lost)))
        for count in (2000, 100000):
            for where, runs in (("JACK", self.streams.get), ("ALSA", self.alsa_runs)):
                short, long = runs(f"short {count}"), runs(f"long {count}")
                if short and long:
                    rows.append(self.long_row(f"{count:,} long through {where}", short, long,
                                              count))
        if self.jack:
            for load, name in LOADS.items():
                runs = [run for run in r["timing"][load]["hexmidi"] if run["intact"]]
                spreads = [quantile(run["errors"], .99) - quantile(run["errors"], .01)
                           for run in runs]
                worsts = [worst(run["errors"]) for run in runs]
                rows.append((f"timing beside {name}: p99 − p1, worst", "≤ 4, ≤ 8 frames",
                             f"{spread(spreads)}, {spread(worsts)}",
                             met(runs and statistics.median(spreads) <= 4
                                 and statistics.median(worsts) <= 8)))
        normal = [statistics.median(run) for run in r["pipe_to_port"]["normal"]]
        rows.append(("pipe to port, median", "< 50 µs", spread(normal, 1),
                     met(statistics.median(normal) < 50)))
        idle = [("with no port", r["idle_cpu_s"])]
        if self.jack:
            idle.append(("through JACK", r["jack"]["idle_cpu_s"]))
        for where, cpu in idle:
            rows.append((f"CPU while waiting 2 s, {where}", "≤ 0.001 s", spread(cpu, 3),
                         met(statistics.median(cpu) <= 0.001)))
        if self.jack:
            share = self.drain_share()
            rows.append(("CPU while 1 MiB drains through JACK", "≤ 0.05 of a core",
                         spread(share, 3), met(statistics.median(share) <= 0.05)))
        memory = [("with no port", r["memory_kib"])] + (
            [("through JACK", r["jack"])] if self.jack else [])
        for where, kib in memory:
            grown = statistics.median(kib["1,000,000 lines"]) - statistics.median(
                kib["1,000 lines"])
            message = statistics.median(kib["1 MiB message"]) - statistics.median(
                kib["1,000 lines"])
            rows.append((f"memory {where}: 1,000,000 lines against 1,000", "≤ 256 KiB more",
                         f"{number(grown)} KiB", met(grown <= 256)))
            rows.append((f"memory {where}: a 1 MiB message", "512 to 1,536 KiB more",
                         f"{number(message)} KiB", met(512 <= message <= 1536)))
        return table(("measure", "target", "measured", "met"), *rows)

    def long_row(self, name, short, long, count):
        ratio = [l["per_s"] / s["per_s"] for s, l in zip(short, long) if s["per_s"]]
        lost = max(count - run["arrived"] for run in long)
        ordered = all(run["in_order"] for run in long)
        return (f"{name}: rate against short ones, lost, in order", "≥ 0.5, 0, yes",
                f"{spread(ratio, 2)}, {lost}, {'yes' if ordered else 'no'}",
                met(ratio and statistics.median(ratio) >= 0.5 and not lost and ordered))

    def parsing(self):
        p = self.r["parsing"]
        program, bare = p["BM_CommandLoopIntoCountingPort"], p["BM_BareScanfLoop"]
        calls = self.r.get("standin_calls", {})
        names = {"BM_ShortMessage": "stand-in: `midiOutShortMsg`, ns",
                 "BM_LongMessageCycle/6": "stand-in: a 6-byte message's cycle, ns",
                 "BM_LongMessageCycle/1048576": "stand-in: a 1 MiB message's cycle, ns"}
        return table(("", "figure"), ("command loop, commands a second", spread(program)),
                     ("bare scanf loop, commands a second", spread(bare)),
                     ("ratio, run by run", spread((a / b for a, b in zip(program, bare)), 3)),
                     *[(label, spread((1e9 / rate for rate in calls[name]), 1))
                       for name, label in names.items() if name in calls])

    def burst(self):
        b = self.streams

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
                     row("share of the port's ceiling", lambda run: run["per_s"] / CEILING_PER_S,
                         3),
                     row("most in one period", lambda run: run["most_per_period"]),
                     row("sender's wall time, s", lambda run: run["usage"]["wall_s"], 2),
                     row("sender's CPU time, s", lambda run: run["usage"]["cpu_s"], 2))

    def long_streams(self, runs_of=None):
        rows = []
        for count in (2000, 100000):
            for kind in ("short", "long"):
                runs = (runs_of or self.streams.get)(f"{kind} {count}") or []
                rows.append((f"{count:,} {kind}", spread(run["per_s"] for run in runs),
                             max((count - run["arrived"] for run in runs), default=""),
                             "yes" if all(run["in_order"] for run in runs) else "no",
                             spread((run["usage"]["wall_s"] for run in runs), 2)))
        return rows

    def jack_streams(self):
        return table(("stream", "messages a second", "lost", "in order", "whole run, s"),
                     *self.long_streams())

    def alsa_runs(self, key):
        return [{"per_s": (int(run["arrived"]) - 1) / float(run["first_to_last_s"]),
                 "arrived": int(run["arrived"]), "in_order": run["in_order"] == "yes",
                 "usage": {"wall_s": float(run["run_s"])}}
                for run in self.r["alsa_vm"].get("runs", {}).get(key, [])
                if float(run["first_to_last_s"]) > 0]

    def alsa(self):
        vm = self.r["alsa_vm"]
        if "not_measured" in vm:
            return table(("not measured",), (vm["not_measured"],))
        start_up = vm["runs"].get("start_up 1", [])
        return table(("stream", "messages a second", "lost", "in order", "whole run, s"),
                     *self.long_streams(self.alsa_runs),
                     ("start-up: program start to the event at the reader, ms",
                      spread((float(run["start_to_first_ms"]) for run in start_up), 1), "", "",
                      spread((float(run["run_s"]) for run in start_up), 2)),
                     ("the virtual machine's whole time, boot included, s", vm["seconds"], "", "",
                      ""))

    def timing(self):
        rows = []
        for load, name in LOADS.items():
            runs = {way: [run for run in runs if run.get("intact", True)]
                    for way, runs in self.r["timing"][load].items()}
            floor = [worst(run["errors"]) for run in runs["floor"]]
            for way, label in WAYS.items():
                errors = [[abs(e) for e in run["errors"]] for run in runs[way]]
                p99 = [quantile(e, .99) for e in errors]
                floor_p99 = [quantile(run["errors"], .99) for run in runs["floor"]]
                own = [worst(run["own"] or [0]) for run in runs[way] if "own" in run]
                rows.append((name if way == "hexmidi" else "", label,
                             spread(p99, 1), spread((worst(e) for e in errors), 1),
                             "" if way == "floor" else spread(map(ratio, p99, floor_p99), 1),
                             "" if way == "floor" else spread(
                                 map(ratio, map(worst, errors), floor), 1),
                             spread(max(run["cycle_late"]) for run in runs[way]
                                    if "cycle_late" in run) if own else "",
                             spread(own, 1) if own else "",
                             spread(map(ratio, own, floor), 1) if own else ""))
        return table(("load", "", "p99", "worst", "p99 / floor's", "worst / floor's",
                      "latest cycle", "worst, server's left out", "that / floor's worst"),
                     *rows)

    def pipe_to_port(self):
        ways = self.r["pipe_to_port"]
        return table(("µs", "normal priority", "SCHED_FIFO"),
                     *[(name, *(spread((pick(sorted(run)) for run in ways[way]), 1)
                                for way in ("normal", "realtime")))
                       for name, pick in (("median", statistics.median),
                                          ("p99", lambda run: quantile(run, .99)),
                                          ("highest", max))])

    def drain_share(self):
        j = self.r["jack"]
        return [(d["cpu_s"] - c["cpu_s"]) / (d["wall_s"] - c["wall_s"])
                for d, c in zip(j["drain"], j["close"])]

    def cpu(self):
        rows = [("waiting 2 s, no port, CPU s", spread(self.r["idle_cpu_s"], 3))]
        if self.jack:
            j = self.r["jack"]
            rows += [("waiting 2 s through JACK, CPU s", spread(j["idle_cpu_s"], 3)),
                     ("1 MiB message, hexmidi's whole run, wall s",
                      spread((run["wall_s"] for run in j["long_whole"]), 3)),
                     ("1 MiB message, hexmidi's whole run, CPU s",
                      spread((run["cpu_s"] for run in j["long_whole"]), 3)),
                     ("1 MiB message arrived whole", "yes" if all(j["long_intact"]) else "no"),
                     ("drain alone, wall s", spread((d["wall_s"] - c["wall_s"]
                                                      for d, c in zip(j["drain"], j["close"])), 3)),
                     ("drain alone, share of a core", spread(self.drain_share(), 4))]
        return table(("", "figure"), *rows)

    def memory(self):
        kib = self.r["memory_kib"]
        jack = self.r["jack"] if self.jack else {}
        return table(("peak resident KiB", "no port", "through JACK"),
                     *[(name, spread(kib[name]), spread(jack.get(name, [])))
                       for name in ("1,000 lines", "1,000,000 lines", "1 MiB message",
                                    "2 MiB message")],
                     ("`/bin/true`, the launcher's floor", spread(kib["/bin/true"]), ""))

    def start_up(self):
        j = self.r["jack"] if self.jack else {}
        return table(("ms", "program start to first message", "whole run"),
                     ("through JACK", spread(j.get("start_to_message_ms", []), 1),
                      spread(j.get("start_up_run_ms", []), 1)),
                     ("no port", "", spread(j.get("no_port_run_ms", []), 1)))


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
        counts = results["streams"][way][0]["per_period"]
        axis.step([i * PERIOD * 1e3 / RATE for i in range(len(counts))], counts, where="post",
                  label=label, linewidth=3 if way == "hexmidi" else 1, zorder=3 if way == "rtmidi" else 2)
    axis.set(xlabel="time since the first message, ms", ylabel="messages in the period")
    axis.secondary_xaxis("top", functions=(to_ms[1], to_ms[0])).set_xlabel("frames")
    axis.grid(alpha=0.3)
    axis.legend(loc="center right")
    figure.savefig(os.path.join(directory, "performance-burst.png"), dpi=100)


def write(figures_path, report_path):
    with open(figures_path) as figures:
        results = json.load(figures)
    tables = Tables(results)
    with open(report_path) as report:
        text = report.read()

    def fill(match):
        name = match.group(1)
        wanted = name in ("run", "summary", "parsing", "pipe_to_port", "cpu", "memory", "alsa")
        lines = getattr(tables, name)() if wanted or tables.jack else ["| not measured |", "|---|"]
        return f"<!-- figures: {name} -->\n" + "\n".join(lines) + "\n<!-- end -->"

    text = re.sub(r"<!-- figures: (\w+) -->\n.*?<!-- end -->", fill, text, flags=re.S)
    with open(report_path, "w") as report:
        report.write(text)
    draw(results, os.path.dirname(os.path.abspath(report_path)))


if __name__ == "__main__":
    write(*sys.argv[1:3])
