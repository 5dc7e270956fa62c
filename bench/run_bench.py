#!/usr/bin/env python3
"""Runs tarnwick side by side with its peers and prints a Markdown report.

    run_bench.py --build DIR [--baseline DIR] [--sizes 1,10,100] [--rounds N]
                 [--gigabyte] [--work DIR] [--only SECTIONS] [--rtt MS]

DIR is a build directory configured with -DTARNWICK_BENCH=ON. --baseline
names a second one, usually of an older commit: its tarnwick, reply_bench,
request_bench and reply_peak run in the same rounds as those of --build,
interleaved, and every table shows the two side by side ("old", "new") with
the ratio new / old (of times, or of memory; below 1 is better). What the
old build lacks (a stage, an option) shows as "-".

Replies are generated once into --work (default /tmp/tarnwick-bench) and
served by the stand-in controller on 127.0.0.1. Every comparison runs its
commands in the same rounds, interleaved, and reports medians and ratios of
that run. Peak memory is the largest resident set of the command's processes
(wait4).

Sections (--only, comma-separated; all by default):
  command       the whole command, one check, against curl + jq and the floor
  inproc        decode, filter and print in process (reply_bench), peak
                memory of each stage (reply_peak)
  requests      fresh-connection requests in one process (request_bench)
  startup       tarnwick --help against curl --version
  instructions  instructions under callgrind of each reply_peak stage and of
                the whole command, on the smallest reply of at least 10 MB,
                and of a few Transport requests: the figures that do not
                depend on the load of the machine
  distance      a compound check over 200 elements and a suite of 30 checks
                a round trip of --rtt ms (default 20) away, through
                tools/latency_proxy.py: plain, with --reuse-connections,
                with --reuse-session and with --in-flight, also through
                nginx with HTTP/2 (distance_bench.py)
  judge         on the largest reply, the full report with five [*]
                expectations (--expect) and compared with an earlier --json
                run with one value changed (--baseline FILE), against the
                same check without them and the build before (judge_bench.py)
  exporter      tarnwick_exporter at --exporter-targets (1000; nginx on as
                many ports) scraped every --exporter-interval (60 s) for
                --exporter-seconds (300), without and then with sessions and
                connections kept across probes (session_max_age of
                --exporter-session-max-age minutes, 10), against the same
                checks as 200 tarnwick processes (exporter_bench.py); not
                among the sections run by default
  connections   tarnwick_exporter probing a module of 5 checks a round trip
                of --rtt ms away, with and without keep_connections: round
                trips and connections per probe, cold, warm and after the
                idle bound (kept_connections_bench.py); not among the
                sections run by default
--gigabyte adds a 1 GB reply to the memory figures only.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import distance_bench
import exporter_bench
import judge_bench
import kept_connections_bench

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUB = os.path.join(ROOT, "tools", "stub_controller.py")
GENERATOR = os.path.join(HERE, "generate_reply.py")
MB = 1000 * 1000
STUB_LIFETIME = 3 * 3600  # seconds; the stub also stops when we are done
RUN_TIMEOUT = 600  # seconds for any one measured command
FILTERS = "results, name & state"
JQ_MAP = ".results | map({name, state})"
STARTUP_RUNS = 100
CALLGRIND_REQUESTS = 20  # Transport requests counted under callgrind
TIME = "/usr/bin/time"  # GNU time, for peak memory
MISSING = "-"

# The reports of one check in the whole-command section: the check
# directory, the extra option, the label, and the peer's jq command.
COMMAND_REPORTS = (
    ("full", "full", [], "full report", "jq ."),
    ("filtered", "filtered", [], "filtered", f"jq '{JQ_MAP}'"),
    ("json", "full", ["--json"], "`--json`", "jq -c ."),
)
# The in-process stages of reply_bench and their labels.
INPROC_STAGES = (
    ("decode", "decode"),
    ("full_report", "decode + print (full)"),
    ("json_report", "decode + JSON"),
    ("filtered_report", "decode + filter + print"),
    ("floor_scan", "floor: scan"),
    ("floor_read_scan", "floor: read + scan"),
)
PEAK_STAGES = ("read", "decode", "full", "json", "filtered")
REQUESTS = (
    ("request_transport", "Transport"),
    ("request_bare_libcurl", "bare libcurl loop"),
    ("request_bare_libcurl_no_ca_store", "bare loop without CA store"),
)


def log(message):
    print(message, file=sys.stderr, flush=True)


def tag(size_mb):
    return f"{size_mb // 1000}GB" if size_mb >= 1000 else f"{size_mb}MB"


class Build:
    """The programs of one build directory. label is "old" for the
    baseline, "new" beside it, "tarnwick" alone."""

    def __init__(self, label, path):
        self.label = label
        self.tarnwick = os.path.join(path, "tarnwick")
        self.reply_bench = os.path.join(path, "bench", "reply_bench")
        self.request_bench = os.path.join(path, "bench", "request_bench")
        self.reply_peak = os.path.join(path, "bench", "reply_peak")
        for program in (self.tarnwick, self.reply_bench, self.request_bench,
                        self.reply_peak):
            if not os.access(program, os.X_OK):
                raise RuntimeError(f"{program} is missing: build it with "
                                   "-DTARNWICK_BENCH=ON")
        usage = subprocess.run([self.tarnwick, "--help"], check=True,
                               stdout=subprocess.PIPE, text=True).stdout
        self.has_json = "--json" in usage


def alternating(builds, r):
    """The builds in the order of round r: reversed every other round."""
    return builds if r % 2 == 0 else builds[::-1]


def medians(per_round):
    """{key: median} of a list of {key: number} dicts, each key's median
    over the dicts that have it."""
    keys = {k for d in per_round for k in d}
    return {k: statistics.median(d[k] for d in per_round if k in d)
            for k in keys}


# ----- Measuring a command

class Sample:
    def __init__(self, seconds, max_rss_kb):
        self.seconds = seconds
        self.max_rss_kb = max_rss_kb


def run_once(argv, rss_file):
    """Runs argv under GNU time; returns its wall time and the peak resident
    set of it and the children it waited for. GNU time forks a small process,
    so the peak is the command's own: a child forked by this Python process
    would carry Python's resident set into its maximum. Fails on a non-zero
    status."""
    start = time.monotonic()
    try:
        proc = subprocess.run([TIME, "-f", "%M", "-o", rss_file, *argv],
                              stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"timed out: {' '.join(argv)}") from None
    seconds = time.monotonic() - start
    if proc.returncode != 0:
        raise RuntimeError(f"exit {proc.returncode}: {' '.join(argv)}\n"
                           + proc.stderr.decode("utf-8", "replace"))
    with open(rss_file) as f:
        max_rss_kb = int(f.read().split()[-1])
    return Sample(seconds, max_rss_kb)


def interleaved(commands, rounds, work):
    """commands: {name: argv}. Each round runs every command once, the order
    rotated from round to round. Returns {name: [Sample]}."""
    names = list(commands)
    samples = {name: [] for name in names}
    rss_file = os.path.join(work, "rss.txt")
    for r in range(rounds):
        order = names[r % len(names):] + names[:r % len(names)]
        for name in order:
            samples[name].append(run_once(commands[name], rss_file))
    return samples


def median_seconds(samples):
    return statistics.median(s.seconds for s in samples)


def peak_mb(samples):
    return max(s.max_rss_kb for s in samples) * 1024 / MB


def run_json(argv, env=None):
    out = subprocess.run(argv, check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env,
                         timeout=RUN_TIMEOUT * 4)
    return json.loads(out.stdout)


# ----- Setting up

def generate(work, size_mb):
    path = os.path.join(work, f"reply_{tag(size_mb)}.json")
    if not os.path.exists(path) or os.path.getsize(path) < size_mb * MB:
        log(f"generating {path}")
        subprocess.run([sys.executable, GENERATOR, "--bytes",
                        str(size_mb * MB), path], check=True,
                       stdout=subprocess.DEVNULL)
    return path


def write_checks(work, size_mb):
    """Two check directories for one reply: the whole reply, and filtered."""
    dirs = {}
    for kind, extra in (("full", ""), ("filtered", f"filters = {FILTERS}\n")):
        d = os.path.join(work, f"checks_{kind}_{tag(size_mb)}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "gateways.cfg"), "w") as f:
            f.write(f"[default]\ndescription = gateways ({kind})\n{extra}\n"
                    f"[orvantis]\naction = bench_{tag(size_mb)}\n")
        dirs[kind] = d
    return dirs


class Stub:
    def __init__(self, work, replies):
        reply_dir = os.path.join(work, "replies")
        os.makedirs(reply_dir, exist_ok=True)
        with open(os.path.join(reply_dir, "bench_small.json"), "w") as f:
            f.write('{"return": true, "results": []}\n')
        rules = [{"action": f"bench_{tag(size)}", "file": path}
                 for size, path in replies.items()]
        rules_path = os.path.join(work, "rules.json")
        with open(rules_path, "w") as f:
            json.dump({"rules": rules}, f)
        self.out_path = os.path.join(work, "stub.out")
        out = open(self.out_path, "w")
        self.proc = subprocess.Popen(
            [sys.executable, STUB, "--replies", reply_dir, "--rules",
             rules_path, "--cert-dir", os.path.join(work, "cert"),
             "--lifetime", str(STUB_LIFETIME)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        out.close()
        self.port = None
        for _ in range(300):
            with open(self.out_path) as f:
                line = f.readline()
            if line.startswith("listening on ") and line.endswith("\n"):
                self.port = int(line.strip().rsplit(":", 1)[1])
                break
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        if self.port is None:
            self.stop()
            with open(self.out_path) as f:
                raise RuntimeError("the stand-in controller did not start:\n"
                                   + f.read())
        self.address = f"127.0.0.1:{self.port}"
        self.url = f"https://{self.address}/v1/api"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


# ----- Sections

def tarnwick_argv(b, stub, checks_dir, extra):
    """One check of checks_dir against the stand-in controller."""
    return [b.tarnwick, "--controller_ip", stub.address, "--password",
            "bench", "--config_dir", checks_dir, *extra]


def request_env(stub, requests):
    return dict(os.environ, TARNWICK_BENCH_URL=stub.url,
                TARNWICK_BENCH_FORM="action=bench_small",
                TARNWICK_BENCH_REQUESTS=str(requests))


def section_command(builds, stub, replies, checks, rounds, work):
    """Per reply: {"seconds": {key: median}, "peak_mb": {key: MB}, "floor":
    seconds}, keyed by (LABEL, KIND) for tarnwick of a build, ("jq", KIND)
    for its peer."""
    rows = []
    for size, path in replies.items():
        t = tag(size)
        fetch = f"curl -sk -d action=bench_{t} {stub.url}"
        commands = {}
        for kind, checks_kind, extra, _, jq in COMMAND_REPORTS:
            for b in builds:
                if kind != "json" or b.has_json:
                    commands[(b.label, kind)] = tarnwick_argv(
                        b, stub, checks[size][checks_kind], extra)
            commands[("jq", kind)] = ["sh", "-c", f"{fetch} | {jq} >/dev/null"]
        commands[("floor", "curl")] = ["sh", "-c", f"{fetch} -o /dev/null"]
        commands[("floor", "scan")] = [builds[-1].reply_peak, "scan", path]
        log(f"command, {t}: {rounds} rounds")
        s = interleaved(commands, rounds, work)
        m = {key: median_seconds(v) for key, v in s.items()}
        rows.append({"size": t, "seconds": m,
                     "floor": m[("floor", "curl")] + m[("floor", "scan")],
                     "peak_mb": {key: peak_mb(v) for key, v in s.items()}})
    return rows


def benchmark_times(report):
    """{benchmark name: real time per iteration} of a Google Benchmark JSON
    report; names without "/iterations:N" and "/real_time"."""
    times = {}
    for b in report["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            parts = [p for p in b["run_name"].split("/")
                     if p != "real_time" and not p.startswith("iterations:")]
            times["/".join(parts)] = b["real_time"]
    return times


def section_inproc(builds, replies, rounds):
    """{(label, stage, size tag): median ms per iteration}. Each round runs
    each build's reply_bench once per reply, the builds alternating, so the
    old and new figures of a reply are taken side by side."""
    stages = "|".join(stage for stage, _ in INPROC_STAGES)
    per_round = []
    for r in range(rounds):
        log(f"in process: reply_bench, round {r + 1} of {rounds}")
        times = {}
        for path in replies.values():
            for b in alternating(builds, r):
                report = run_json([b.reply_bench, "--benchmark_format=json",
                                   "--benchmark_min_time=1",
                                   f"--benchmark_filter=^({stages})/", path])
                for name, ms in benchmark_times(report).items():
                    stage, size = name.split("/")[:2]
                    times[(b.label, stage, size)] = ms
        per_round.append(times)
    return medians(per_round)


def run_stage(argv, env=None):
    """Runs one stage of a benchmark program; returns its standard output,
    or None when the program does not know the stage (an older build's
    reply_peak answers an unknown stage with status 2)."""
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, timeout=RUN_TIMEOUT * 4)
    if proc.returncode == 2:
        return None
    if proc.returncode != 0:
        raise RuntimeError(f"exit {proc.returncode}: {' '.join(argv)}\n"
                           + proc.stderr.decode("utf-8", "replace"))
    return proc.stdout


def section_memory(builds, memory_replies):
    """{(label, stage, size tag): MB}, medians of 3 runs (1 for 1 GB)."""
    per_run = []
    for size, path in memory_replies.items():
        log(f"in process: peak memory, {tag(size)}")
        for r in range(1 if size >= 1000 else 3):
            kb = {}
            for stage in PEAK_STAGES:
                for b in alternating(builds, r):
                    out = run_stage([b.reply_peak, stage, path])
                    if out is not None:
                        kb[(b.label, stage, tag(size))] = (
                            json.loads(out)["max_rss_kb"] * 1024 / MB)
            per_run.append(kb)
    # Each key lives in the runs of its own reply only.
    return medians(per_run)


def section_requests(builds, stub, rounds):
    """{(label, benchmark): median ms per request}."""
    env = request_env(stub, 100)
    log(f"requests: request_bench, {rounds} rounds")
    per_round = []
    for r in range(rounds):
        times = {}
        for b in alternating(builds, r):
            report = run_json([b.request_bench, "--benchmark_format=json"],
                              env=env)
            for name, ms in benchmark_times(report).items():
                times[(b.label, name)] = ms
        per_round.append(times)
    return medians(per_round)


def section_startup(builds):
    """{label or "curl": median seconds}."""
    log(f"start-up: {STARTUP_RUNS} interleaved runs each")
    commands = {b.label: [b.tarnwick, "--help"] for b in builds}
    commands["curl"] = ["curl", "--version"]
    names = list(commands)
    seconds = {name: [] for name in names}
    for r in range(STARTUP_RUNS):
        for name in names[r % len(names):] + names[:r % len(names)]:
            start = time.monotonic()
            subprocess.run(commands[name], check=True,
                           stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
            seconds[name].append(time.monotonic() - start)
    return {name: statistics.median(v) for name, v in seconds.items()}


def callgrind_instructions(argv, out, env=None):
    """Instructions executed by argv under callgrind, or None when the
    program does not know the stage asked for. The profile stays in out for
    callgrind_annotate."""
    if run_stage(["valgrind", "--tool=callgrind",
                  f"--callgrind-out-file={out}", *argv], env) is None:
        return None
    with open(out) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no summary line in {out}")


def section_instructions(builds, stub, checks, size, path, work):
    """(size tag, [(row, label)], {(build label, row): instructions}); the
    profiles are kept as callgrind.LABEL.ROW.out in work."""
    log(f"instructions: callgrind, {tag(size)}")
    rows = [(stage, f"reply_peak {stage}") for stage in PEAK_STAGES]
    rows += [(f"command_{kind}", f"tarnwick, {label}")
             for kind, _, _, label, _ in COMMAND_REPORTS]
    rows.append(("requests",
                 f"request_bench, {CALLGRIND_REQUESTS} Transport requests"))
    counts = {}
    for b in builds:
        runs = {stage: [b.reply_peak, stage, path] for stage in PEAK_STAGES}
        for kind, checks_kind, extra, _, _ in COMMAND_REPORTS:
            if kind != "json" or b.has_json:
                runs[f"command_{kind}"] = tarnwick_argv(
                    b, stub, checks[checks_kind], extra)
        runs["requests"] = [b.request_bench,
                            "--benchmark_filter=^request_transport/"]
        env = request_env(stub, CALLGRIND_REQUESTS)
        for row, argv in runs.items():
            out = os.path.join(work, f"callgrind.{b.label}.{row}.out")
            found = callgrind_instructions(argv, out, env)
            if found is not None:
                counts[(b.label, row)] = found
    return tag(size), rows, counts


# ----- Report

def machine():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{platform.node()}: {model}, {os.cpu_count()} cores, "
            f"{platform.system()} {platform.release()}")


def load():
    return "%.2f %.2f %.2f" % os.getloadavg()


def verdict(ok):
    return "met" if ok else "**missed**"


def row(cells):
    return "| " + " | ".join(cells) + " |"


def header(cells):
    return [row(cells), row(["---"] * len(cells))]


class Columns:
    """The columns of one measure for every build: each build's figure,
    then new / old when there is a baseline."""

    def __init__(self, builds):
        self.labels = [b.label for b in builds]
        self.compared = len(self.labels) == 2

    def names(self):
        return self.labels + (["new / old"] if self.compared else [])

    def cells(self, values, fmt):
        """values: {label: number}; a missing figure shows as MISSING. The
        ratio is of the values themselves."""
        cells = [fmt(values[k]) if k in values else MISSING
                 for k in self.labels]
        if self.compared:
            ratio = self.ratio(values)
            cells.append(MISSING if ratio is None else f"{ratio:.2f}")
        return cells

    def pick(self, table, *key):
        """{label: table[(label, *key)]} of the builds that have it."""
        return {k: table[(k, *key)] for k in self.labels
                if (k, *key) in table}

    def ratio(self, values):
        """new / old, or None without both figures."""
        if not self.compared:
            return None
        old, new = (values.get(k) for k in self.labels)
        return new / old if old and new else None


def report_command(rows, cols, targets):
    new = cols.labels[-1]
    peaks = ", ".join(cols.labels + ["jq"])
    lines = ["## Whole command, one check", "",
             *header(["reply", "report", *cols.names(), "curl + jq",
                      "speed-up", "floor", f"{new} / floor",
                      f"peak MB: {peaks}"])]
    for r in rows:
        floor = r["floor"]
        for kind, _, _, label, _ in COMMAND_REPORTS:
            times = cols.pick(r["seconds"], kind)
            peak = {**cols.pick(r["peak_mb"], kind),
                    "jq": r["peak_mb"][("jq", kind)]}
            mine, jq = times.get(new), r["seconds"][("jq", kind)]
            lines.append(row([
                r["size"], label, *cols.cells(times, lambda t: f"{t:.3f} s"),
                f"{jq:.3f} s", f"{jq / mine:.1f}x" if mine else MISSING,
                f"{floor:.3f} s", f"{mine / floor:.2f}" if mine else MISSING,
                ", ".join(f"{peak[k]:.0f}" if k in peak else MISSING
                          for k in cols.labels + ["jq"])]))
            if kind == "filtered" and r["size"] == "10MB":
                targets.append(("one filtered check at 10 MB >= 4x faster "
                                "than curl + jq map", f"{jq / mine:.1f}x",
                                jq / mine >= 4))
            if r["size"] != "100MB":
                continue
            if kind != "filtered" and mine:
                curl = r["seconds"][("floor", "curl")]
                targets.append((f"whole command, {label} <= 4x curl -sk to "
                                "/dev/null (100 MB)", f"{mine / curl:.2f}x",
                                mine / curl <= 4))
            if kind == "json":
                full = cols.pick(r["seconds"], "full").get(new)
                if mine and full:
                    targets.append(("whole command, `--json` no slower than "
                                    "the full report (100 MB)",
                                    f"{mine / full:.2f}x", mine <= full))
                continue
            peer = "curl + jq ." if kind == "full" else "curl + jq map"
            stretch = "" if kind == "full" else "; stretch 10x"
            targets.append((f"whole command, {label} >= 5x faster than "
                            f"{peer} (100 MB{stretch})",
                            f"{jq / mine:.1f}x", jq / mine >= 5))
            targets.append((f"whole command, {label} within 1.5x of the "
                            "floor (100 MB)", f"{mine / floor:.2f}x",
                            mine / floor <= 1.5))
            ratio = cols.ratio(times)
            if ratio is not None:
                targets.append((f"whole command, {label} no slower than the "
                                "old build (100 MB)", f"{ratio:.2f}x",
                                ratio <= 1.0))
    lines += ["", "Peers: `curl -sk -d action=... URL` piped into `jq .` "
              "(full report), `jq '" + JQ_MAP + "'` (filtered), `jq -c .` "
              "(`--json`). The floor is `curl -sk` of the same reply to "
              "/dev/null plus a bare scan of it (reply_peak scan), medians "
              "added.", ""]
    return lines


def size_order(t):
    return float(t[:-2]) * (1000 if t.endswith("GB") else 1)


def report_inproc(times, cols, reply_mb, targets):
    lines = ["## In process (reply_bench)", "",
             *header(["reply", "stage", *cols.names()])]
    sizes = sorted({size for _, _, size in times}, key=size_order)
    for size in sizes:
        for stage, label in INPROC_STAGES:
            ms = cols.pick(times, stage, size)
            if not ms:
                continue
            mb = reply_mb[size]
            lines.append(row([size, label, *cols.cells(
                ms, lambda t: f"{mb / (t / 1000):.0f} MB/s")]))
            if size != "100MB":
                continue
            new = ms.get(cols.labels[-1])
            if stage in ("full_report", "filtered_report") and new:
                rate = mb / (new / 1000)
                targets.append((f"in process, {label} >= 250 MB/s",
                                f"{rate:.0f} MB/s", rate >= 250))
            ratio = cols.ratio(ms)
            if stage in ("decode", "full_report", "filtered_report") \
                    and ratio is not None:
                targets.append((f"in process, {label} within 10% of the old "
                                "build (100 MB)", f"{ratio:.2f}x",
                                ratio <= 1.10))
    lines += ["", "MB/s are reply bytes (10^6) per second of wall time, "
              "medians of the rounds."]
    if cols.compared:
        lines[-1] += (" new / old is of the times. The floor is the same "
                      "code in both builds: its ratio shows the noise.")
    lines.append("")
    return lines


def report_memory(memory, cols, reply_mb, targets):
    lines = ["### Peak memory (reply_peak, one stage per process)", "",
             *header(["reply", "stage", *cols.names()])]
    sizes = sorted({size for _, _, size in memory}, key=size_order)
    for size in sizes:
        for stage in PEAK_STAGES:
            mb = cols.pick(memory, stage, size)
            reply = reply_mb[size]
            lines.append(row([size, stage, *cols.cells(
                mb, lambda v: f"{v:.0f} MB ({v / reply:.2f}x)")]))
            new = mb.get(cols.labels[-1])
            if stage in ("full", "filtered") and new:
                targets.append((f"peak memory, {stage} report <= 2.0x "
                                f"the reply ({size})", f"{new / reply:.2f}x",
                                new / reply <= 2.0))
            # Within 1%: one and the same stage's peak moves by about that
            # much from process to process (the decode stage alone peaks a
            # megabyte above the full report on the 1 GB reply).
            full = cols.pick(memory, "full", size).get(cols.labels[-1])
            if stage == "json" and new and full:
                targets.append((f"peak memory, JSON no larger than the full "
                                f"report, within 1% ({size})",
                                f"{new / full:.3f}x", new <= full * 1.01))
    lines += ["", "(x) is the peak against the reply's size.", ""]
    return lines


def report_requests(times, cols, targets):
    lines = ["## Fresh-connection requests in one process", "",
             *header(["per request", *cols.names()])]
    for name, label in REQUESTS:
        ms = cols.pick(times, name)
        lines.append(row([label, *cols.cells(ms, lambda t: f"{t:.2f} ms")]))
    new = cols.labels[-1]
    t = times[(new, "request_transport")]
    bare = times[(new, "request_bare_libcurl")]
    targets.append(("per request within 1.5x of a bare libcurl loop",
                    f"{t / bare:.2f}x", t / bare <= 1.5))
    ratio = cols.ratio(cols.pick(times, "request_transport"))
    if ratio is not None:
        targets.append(("Transport per request no slower than the old build",
                        f"{ratio:.2f}x", ratio <= 1.0))
    if cols.compared:
        lines += ["", "The bare loops are the same code in both builds: "
                  "their ratio shows the noise."]
    lines.append("")
    return lines


def report_startup(seconds, cols, targets):
    new = cols.labels[-1]
    ms = {k: seconds[k] * 1000 for k in cols.labels}
    curl = seconds["curl"] * 1000
    lines = ["## Start-up", "",
             *header(["", *cols.names(), "curl --version",
                      f"{new} / curl"]),
             row(["tarnwick --help", *cols.cells(ms, lambda t: f"{t:.2f} ms"),
                  f"{curl:.2f} ms", f"{ms[new] / curl:.2f}"]), ""]
    targets.append(("start-up no slower than curl --version",
                    f"{ms[new] / curl:.2f}x", ms[new] <= curl))
    return lines


def report_instructions(size, rows, counts, cols):
    lines = [f"## Instructions (callgrind, {size} reply)", "",
             *header(["what", *cols.names()])]
    for row_id, label in rows:
        n = cols.pick(counts, row_id)
        lines.append(row([label,
                          *cols.cells(n, lambda v: f"{v / 1e6:.1f} M")]))
    lines += ["", "Every reply_peak stage includes reading the reply (its "
              "read row); the tarnwick rows count the tarnwick process alone, "
              "the request_bench row its start-up too. The profiles stay in "
              "the work directory as callgrind.LABEL.ROW.out.", ""]
    return lines


def report(results, builds, args):
    cols = Columns(builds)
    lines = ["# tarnwick benchmarks", ""]
    lines.append(f"- machine: {machine()}")
    lines.append(f"- load average (1, 5, 15 min) at start: "
                 f"{results['load_start']}, at end: {results['load_end']}")
    lines.append(f"- {args.rounds} rounds, interleaved; medians; "
                 f"ratios within this run")
    if args.baseline:
        lines.append(f"- old: `{args.baseline}`; new: `{args.build}`")
    lines.append(f"- filtered check: `filters = {FILTERS}`")
    lines.append("")
    targets = []
    reply_mb = results["reply_mb"]
    if "command" in results:
        lines += report_command(results["command"], cols, targets)
    if "inproc" in results:
        lines += report_inproc(results["inproc"], cols, reply_mb, targets)
        if results["memory"]:
            lines += report_memory(results["memory"], cols, reply_mb,
                                   targets)
    if "requests" in results:
        lines += report_requests(results["requests"], cols, targets)
    if "startup" in results:
        lines += report_startup(results["startup"], cols, targets)
    if "instructions" in results:
        lines += report_instructions(*results["instructions"], cols)
    if "distance" in results:
        lines += distance_bench.report(results["distance"], targets)
    if "judge" in results:
        lines += judge_bench.report(results["judge"], targets)
    if "exporter" in results:
        lines += exporter_bench.report(results["exporter"], targets)
    if "connections" in results:
        lines += kept_connections_bench.report(results["connections"],
                                               targets)
    if targets:
        lines += ["## Targets", "", *header(["target", "measured", ""])]
        lines += [row([name, value, verdict(ok)])
                  for name, value, ok in targets]
        lines.append("")
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--baseline",
                        help="a second build directory to compare with")
    parser.add_argument("--sizes", default="1,10,100",
                        help="reply sizes in MB, comma-separated")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--gigabyte", action="store_true",
                        help="also measure peak memory on a 1 GB reply")
    parser.add_argument("--work", default="/tmp/tarnwick-bench")
    parser.add_argument("--only",
                        default="command,inproc,requests,startup,instructions,"
                        "distance,judge")
    parser.add_argument("--rtt", type=float, default=20,
                        help="the round trip of the distance and "
                        "connections sections, in ms")
    parser.add_argument("--exporter-targets", type=int, default=1000,
                        help="the controllers the exporter section probes")
    parser.add_argument("--exporter-interval", type=float, default=60,
                        help="seconds between two scrapes of a target")
    parser.add_argument("--exporter-seconds", type=float, default=300,
                        help="how long each exporter variant scrapes")
    parser.add_argument("--exporter-session-max-age", type=int, default=10,
                        help="session_max_age of the kept-session variant, "
                        "in minutes")
    parser.add_argument("--exporter-in-flight", type=int, default=1,
                        help="the exporter module's in_flight (1: none, one "
                        "request after another)")
    args = parser.parse_args(argv)
    sections = set(args.only.split(","))
    for tool in ("curl", "jq") + (("valgrind",) if "instructions" in sections
                                  else ()):
        if shutil.which(tool) is None:
            parser.error(f"{tool} is needed")
    if not 1 <= args.rounds <= 50:
        parser.error("--rounds must be from 1 to 50")
    if not 1 <= args.exporter_targets <= 5000:
        parser.error("--exporter-targets must be from 1 to 5000")
    if not 1 <= args.exporter_interval <= args.exporter_seconds:
        parser.error("--exporter-interval must be from 1 s to "
                     "--exporter-seconds")
    if args.exporter_session_max_age < 1:
        parser.error("--exporter-session-max-age must be at least 1")
    try:
        builds = ([Build("old", args.baseline), Build("new", args.build)]
                  if args.baseline else [Build("tarnwick", args.build)])
    except (RuntimeError, subprocess.CalledProcessError) as e:
        parser.error(str(e))
    os.makedirs(args.work, exist_ok=True)
    # The exporter's sections need none of the generated replies.
    if sections <= {"exporter", "connections"}:
        args.sizes = ""
        args.gigabyte = False
    sizes = [int(s) for s in args.sizes.split(",") if s]
    replies = {size: generate(args.work, size) for size in sizes}
    checks = {size: write_checks(args.work, size) for size in sizes}
    memory_replies = {s: p for s, p in replies.items() if s >= 10}
    if args.gigabyte:
        memory_replies[1000] = generate(args.work, 1000)

    results = {"load_start": load(),
               "reply_mb": {tag(s): os.path.getsize(p) / MB
                            for s, p in {**replies, **memory_replies}.items()}}
    stub = Stub(args.work, replies)
    try:
        if "command" in sections:
            results["command"] = section_command(builds, stub, replies,
                                                 checks, args.rounds,
                                                 args.work)
        if "inproc" in sections:
            results["inproc"] = section_inproc(builds, replies, args.rounds)
            results["memory"] = section_memory(builds, memory_replies)
        if "requests" in sections:
            results["requests"] = section_requests(builds, stub, args.rounds)
        if "startup" in sections:
            results["startup"] = section_startup(builds)
        if "instructions" in sections:
            # The smallest reply of at least 10 MB, else the largest.
            size = min(replies, key=lambda s: (s < 10, s if s >= 10 else -s))
            results["instructions"] = section_instructions(
                builds, stub, checks[size], size, replies[size], args.work)
        if "distance" in sections:
            results["distance"] = distance_bench.measure(
                builds, args.work, args.rounds, args.rtt)
        if "judge" in sections:
            results["judge"] = judge_bench.measure(
                builds, stub.address, replies, args.rounds, args.work)
        if "exporter" in sections:
            results["exporter"] = exporter_bench.measure(
                builds, args.work, args.exporter_targets,
                args.exporter_interval, args.exporter_seconds,
                args.exporter_session_max_age, args.exporter_in_flight)
        if "connections" in sections:
            results["connections"] = kept_connections_bench.measure(
                builds, args.work, args.rounds, args.rtt)
    finally:
        stub.stop()
    results["load_end"] = load()
    print(report(results, builds, args))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
