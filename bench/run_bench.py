#!/usr/bin/env python3
"""Runs tarnwick side by side with its peers and prints a Markdown report.

    run_bench.py --build DIR [--sizes 1,10,100] [--rounds N] [--gigabyte]
                 [--work DIR] [--only SECTIONS]

DIR is a build directory configured with -DTARNWICK_BENCH=ON. Replies are
generated once into --work (default /tmp/tarnwick-bench) and served by the
stand-in controller on 127.0.0.1. Every comparison runs its commands in the
same rounds, interleaved, and reports medians and ratios of that run. Peak
memory is the largest resident set of the command's processes (wait4).

Sections (--only, comma-separated; all by default):
  command   the whole command, one check, against curl + jq and the floor
  inproc    decode, filter and print in process (reply_bench), peak memory
            of each stage (reply_peak)
  requests  fresh-connection requests in one process (request_bench)
  startup   tarnwick --help against curl --version
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
TIME = "/usr/bin/time"  # GNU time, for peak memory


def log(message):
    print(message, file=sys.stderr, flush=True)


def tag(size_mb):
    return f"{size_mb // 1000}GB" if size_mb >= 1000 else f"{size_mb}MB"


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

def section_command(build, stub, replies, checks, rounds, work):
    tarnwick = os.path.join(build, "tarnwick")
    peak = os.path.join(build, "bench", "reply_peak")
    rows = []
    for size, path in replies.items():
        t = tag(size)
        fetch = f"curl -sk -d action=bench_{t} {stub.url}"

        def tw(kind):
            return [tarnwick, "--controller_ip", stub.address, "--password",
                    "bench", "--config_dir", checks[size][kind]]
        commands = {
            "tarnwick_full": tw("full"),
            "curl_jq_full": ["sh", "-c", f"{fetch} | jq . >/dev/null"],
            "tarnwick_filtered": tw("filtered"),
            "curl_jq_map": ["sh", "-c",
                            f"{fetch} | jq '{JQ_MAP}' >/dev/null"],
            "floor_curl": ["sh", "-c", f"{fetch} -o /dev/null"],
            "floor_scan": [peak, "scan", path],
        }
        log(f"command, {t}: {rounds} rounds")
        s = interleaved(commands, rounds, work)
        m = {name: median_seconds(v) for name, v in s.items()}
        floor = m["floor_curl"] + m["floor_scan"]
        rows.append({
            "size": t, "medians": m, "floor": floor,
            "peak_mb": {name: peak_mb(v) for name, v in s.items()},
            "reply_mb": os.path.getsize(path) / MB,
        })
    return rows


def run_json(argv, env=None):
    out = subprocess.run(argv, check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=env,
                         timeout=RUN_TIMEOUT * 4)
    return json.loads(out.stdout)


def benchmark_medians(report):
    """{benchmark name: aggregate median entry} of a Google Benchmark JSON
    report with repetitions; names without "/iterations:N" and
    "/real_time"."""
    medians = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") == "median":
            parts = [p for p in b["run_name"].split("/")
                     if p != "real_time" and not p.startswith("iterations:")]
            medians["/".join(parts)] = b
    return medians


def benchmark_flags(rounds):
    return ["--benchmark_format=json", f"--benchmark_repetitions={rounds}",
            "--benchmark_enable_random_interleaving=true",
            "--benchmark_report_aggregates_only=true"]


def section_inproc(build, replies, memory_replies, rounds):
    bench = os.path.join(build, "bench", "reply_bench")
    peak = os.path.join(build, "bench", "reply_peak")
    log(f"in process: reply_bench, {rounds} repetitions")
    report = run_json([bench, *benchmark_flags(rounds),
                       "--benchmark_min_time=0.5", *replies.values()])
    medians = benchmark_medians(report)
    memory = []
    for size, path in memory_replies.items():
        log(f"in process: peak memory, {tag(size)}")
        for stage in ("read", "decode", "full", "filtered"):
            runs = [run_json([peak, stage, path])
                    for _ in range(1 if size >= 1000 else 3)]
            kb = statistics.median(r["max_rss_kb"] for r in runs)
            memory.append({"size": tag(size), "stage": stage,
                           "peak_mb": kb * 1024 / MB,
                           "reply_mb": runs[0]["bytes"] / MB})
    return medians, memory


def section_requests(build, stub, rounds):
    bench = os.path.join(build, "bench", "request_bench")
    env = dict(os.environ, TARNWICK_BENCH_URL=stub.url,
               TARNWICK_BENCH_FORM="action=bench_small",
               TARNWICK_BENCH_REQUESTS="100")
    log(f"requests: request_bench, {rounds} repetitions")
    return benchmark_medians(run_json([bench, *benchmark_flags(rounds)],
                                      env=env))


def section_startup(build):
    tarnwick = os.path.join(build, "tarnwick")
    log(f"start-up: {STARTUP_RUNS} interleaved runs each")
    commands = {"tarnwick_help": [tarnwick, "--help"],
                "curl_version": ["curl", "--version"]}
    seconds = {name: [] for name in commands}
    for r in range(STARTUP_RUNS):
        for name in (commands if r % 2 == 0 else reversed(commands)):
            start = time.monotonic()
            subprocess.run(commands[name], check=True,
                           stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
            seconds[name].append(time.monotonic() - start)
    return {name: statistics.median(v) for name, v in seconds.items()}


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


def report(results, args):
    lines = ["# tarnwick benchmarks", ""]
    lines.append(f"- machine: {machine()}")
    lines.append(f"- load average (1, 5, 15 min) at start: "
                 f"{results['load_start']}, at end: {results['load_end']}")
    lines.append(f"- {args.rounds} rounds, interleaved; medians; "
                 f"ratios within this run")
    lines.append(f"- filtered check: `filters = {FILTERS}`; its peer: "
                 f"`curl -sk -d action=... URL | jq '{JQ_MAP}'`")
    lines.append("")
    targets = []
    if "command" in results:
        lines += ["## Whole command, one check", "",
                  "| reply | tarnwick full | curl + jq . | speed-up "
                  "| tarnwick filtered | curl + jq map | speed-up "
                  "| floor | full / floor | filtered / floor "
                  "| peak MB: full, filtered, jq . |",
                  "|---|---|---|---|---|---|---|---|---|---|---|"]
        for row in results["command"]:
            m = row["medians"]
            p = row["peak_mb"]
            full_x = m["curl_jq_full"] / m["tarnwick_full"]
            filt_x = m["curl_jq_map"] / m["tarnwick_filtered"]
            lines.append(
                f"| {row['size']} | {m['tarnwick_full']:.3f} s "
                f"| {m['curl_jq_full']:.3f} s | {full_x:.1f}x "
                f"| {m['tarnwick_filtered']:.3f} s "
                f"| {m['curl_jq_map']:.3f} s | {filt_x:.1f}x "
                f"| {row['floor']:.3f} s "
                f"| {m['tarnwick_full'] / row['floor']:.2f} "
                f"| {m['tarnwick_filtered'] / row['floor']:.2f} "
                f"| {p['tarnwick_full']:.0f}, {p['tarnwick_filtered']:.0f}, "
                f"{p['curl_jq_full']:.0f} |")
            if row["size"] == "100MB":
                targets.append(("whole command, full report >= 5x faster "
                                "than curl + jq . (100 MB)",
                                f"{full_x:.1f}x", full_x >= 5))
                targets.append(("whole command, filtered >= 5x faster than "
                                "curl + jq map (100 MB; stretch 10x)",
                                f"{filt_x:.1f}x", filt_x >= 5))
                targets.append(("whole command, filtered within 1.5x of the "
                                "floor (100 MB)",
                                f"{m['tarnwick_filtered'] / row['floor']:.2f}x",
                                m["tarnwick_filtered"] / row["floor"] <= 1.5))
                targets.append(("whole command, full report within 1.5x of "
                                "the floor (100 MB)",
                                f"{m['tarnwick_full'] / row['floor']:.2f}x",
                                m["tarnwick_full"] / row["floor"] <= 1.5))
            if row["size"] == "10MB":
                targets.append(("one filtered check at 10 MB >= 4x faster "
                                "than curl + jq map", f"{filt_x:.1f}x",
                                filt_x >= 4))
        lines += ["", "The floor is `curl -sk` of the same reply to "
                  "/dev/null plus a bare scan of it (reply_peak scan), "
                  "medians added.", ""]
    if "inproc" in results:
        medians, memory = results["inproc"]
        lines += ["## In process (reply_bench)", "",
                  "| reply | decode | decode + print (full) "
                  "| decode + filter + print | floor: scan | floor: read + "
                  "scan |", "|---|---|---|---|---|---|"]
        sizes = []
        for name in medians:
            size = name.split("/")[1]
            if size not in sizes:
                sizes.append(size)
        sizes.sort(key=lambda t: float(t[:-2]) * (1000 if t.endswith("GB") else 1))

        def rate(stage, size):
            b = medians.get(f"{stage}/{size}")
            return b["bytes_per_second"] / MB if b else float("nan")
        for size in sizes:
            lines.append(
                f"| {size} | {rate('decode', size):.0f} MB/s "
                f"| {rate('full_report', size):.0f} MB/s "
                f"| {rate('filtered_report', size):.0f} MB/s "
                f"| {rate('floor_scan', size):.0f} MB/s "
                f"| {rate('floor_read_scan', size):.0f} MB/s |")
        if "100MB" in sizes:
            full = rate("full_report", "100MB")
            filt = rate("filtered_report", "100MB")
            targets.append(("in process, decode + print >= 100 MB/s",
                            f"{full:.0f} MB/s", full >= 100))
            targets.append(("in process, decode + filter + print >= 250 MB/s",
                            f"{filt:.0f} MB/s", filt >= 250))
        lines += ["", "MB/s are reply bytes (10^6) per second of wall time, "
                  "medians of the repetitions.", "",
                  "### Peak memory (reply_peak, one stage per process)", "",
                  "| reply | stage | peak RSS | x reply |", "|---|---|---|---|"]
        for m in memory:
            ratio = m["peak_mb"] / m["reply_mb"]
            lines.append(f"| {m['size']} | {m['stage']} | {m['peak_mb']:.0f} MB "
                         f"| {ratio:.2f} |")
            if m["size"] == "100MB" and m["stage"] in ("full", "filtered"):
                limit = 2.5 if m["stage"] == "full" else 2.0
                targets.append((f"peak memory, {m['stage']} report <= "
                                f"{limit}x the reply (100 MB)",
                                f"{ratio:.2f}x", ratio <= limit))
        lines += [""]
    if "requests" in results:
        r = results["requests"]

        def per_request(name):
            return r[name]["real_time"] if name in r else float("nan")
        t = per_request("request_transport")
        bare = per_request("request_bare_libcurl")
        bare_no_ca = per_request("request_bare_libcurl_no_ca_store")
        lines += ["## Fresh-connection requests in one process", "",
                  "| Transport | bare libcurl loop | ratio "
                  "| bare loop without CA store | ratio |",
                  "|---|---|---|---|---|",
                  f"| {t:.2f} ms | {bare:.2f} ms | {t / bare:.2f} "
                  f"| {bare_no_ca:.2f} ms | {t / bare_no_ca:.2f} |", ""]
        targets.append(("per request within 1.5x of a bare libcurl loop",
                        f"{t / bare:.2f}x", t / bare <= 1.5))
    if "startup" in results:
        s = results["startup"]
        lines += ["## Start-up", "",
                  "| tarnwick --help | curl --version | ratio |",
                  "|---|---|---|",
                  f"| {s['tarnwick_help'] * 1000:.2f} ms "
                  f"| {s['curl_version'] * 1000:.2f} ms "
                  f"| {s['tarnwick_help'] / s['curl_version']:.2f} |", ""]
        targets.append(("start-up no slower than curl --version",
                        f"{s['tarnwick_help'] / s['curl_version']:.2f}x",
                        s["tarnwick_help"] <= s["curl_version"]))
    if targets:
        lines += ["## Targets", "", "| target | measured | |", "|---|---|---|"]
        lines += [f"| {name} | {value} | {verdict(ok)} |"
                  for name, value, ok in targets]
        lines.append("")
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--sizes", default="1,10,100",
                        help="reply sizes in MB, comma-separated")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--gigabyte", action="store_true",
                        help="also measure peak memory on a 1 GB reply")
    parser.add_argument("--work", default="/tmp/tarnwick-bench")
    parser.add_argument("--only", default="command,inproc,requests,startup")
    args = parser.parse_args(argv)
    sections = set(args.only.split(","))
    for tool in ("curl", "jq"):
        if shutil.which(tool) is None:
            parser.error(f"{tool} is needed")
    if not 1 <= args.rounds <= 50:
        parser.error("--rounds must be from 1 to 50")
    os.makedirs(args.work, exist_ok=True)
    sizes = [int(s) for s in args.sizes.split(",") if s]
    replies = {size: generate(args.work, size) for size in sizes}
    checks = {size: write_checks(args.work, size) for size in sizes}
    memory_replies = {s: p for s, p in replies.items() if s >= 10}
    if args.gigabyte:
        memory_replies[1000] = generate(args.work, 1000)

    results = {"load_start": load()}
    stub = Stub(args.work, replies)
    try:
        if "command" in sections:
            results["command"] = section_command(args.build, stub, replies,
                                                 checks, args.rounds,
                                                 args.work)
        if "inproc" in sections:
            results["inproc"] = section_inproc(args.build, replies,
                                               memory_replies, args.rounds)
        if "requests" in sections:
            results["requests"] = section_requests(args.build, stub,
                                                   args.rounds)
        if "startup" in sections:
            results["startup"] = section_startup(args.build)
    finally:
        stub.stop()
    results["load_end"] = load()
    print(report(results, args))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
