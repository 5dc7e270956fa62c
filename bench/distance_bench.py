"""The "distance" section of run_bench.py: tarnwick against the stand-in
controller through tools/latency_proxy.py, a round trip of --rtt
milliseconds away (20 by default).

  fan-out  one compound check over ELEMENTS gateways: a referenced check
           lists them, then one request per gateway; the build before
           (--baseline) and this one, plain and with --reuse-connections
  suite    CHECKS simple checks, plain, with --reuse-session, with
           --reuse-connections, and with both

Each round runs every row once, the order rotated. Per row, medians of the
rounds: the wall time of the run; round trips per request (each request's
time from its --verbose line over the round trip, averaged over the element
requests of the fan-out or over every request of the suite); the requests,
connections and logins that the stand-in logged; the stand-in's CPU time
(user and system, from /proc). Every row must print the same report as the
first row of its table.
"""

import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUB = os.path.join(ROOT, "tools", "stub_controller.py")
PROXY = os.path.join(ROOT, "tools", "latency_proxy.py")
LIFETIME = 3 * 3600  # seconds; both stop earlier when the section ends
RUN_TIMEOUT = 600  # seconds for one run
ELEMENT_ACTION = "show_gateway"
TRACE = re.compile(r"^\[tarnwick\] (.*): HTTP \d+, \d+ bytes, "
                   r"(\d+\.\d{3}) s(?:, (?:reused|new connection))?$")
GATEWAY = {"state": "up", "model": "edge-x", "uptime": 123456,
           "uplinks": [{"name": "wan1", "up": True, "mtu": 1500},
                       {"name": "wan2", "up": False, "mtu": 1500}]}

# table: [(label, which build, options)]; "old" is the baseline, skipped
# without one.
ROWS = {
    "fan-out": [("build before", "old", []),
                ("plain", "new", []),
                ("--reuse-connections", "new", ["--reuse-connections"])],
    "suite": [("plain", "new", []),
              ("--reuse-session", "new", ["--reuse-session"]),
              ("--reuse-connections", "new", ["--reuse-connections"]),
              ("both", "new", ["--reuse-connections", "--reuse-session"])],
}


def log(message):
    print(message, file=sys.stderr, flush=True)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def set_up(work, elements, checks):
    """The replies and the two check directories; returns their paths."""
    names = ["gw-%04d" % i for i in range(elements)]
    write(os.path.join(work, "replies", "list_gateways.json"),
          json.dumps(names))
    write(os.path.join(work, "replies", ELEMENT_ACTION + ".json"),
          json.dumps(GATEWAY))
    write(os.path.join(work, "replies", "show_site.json"),
          json.dumps({"site": "east", "gateways": elements}))
    fan_out = os.path.join(work, "fan-out")
    write(os.path.join(fan_out, "gateways.cfg"),
          "[default]\ndescription = every gateway\nfilters = state & uptime\n"
          f"[orvantis]\naction = {ELEMENT_ACTION}\n"
          "gateway_name = output(gateway_names)\n")
    write(os.path.join(fan_out, "gateway_names"),
          "[orvantis]\naction = list_gateways\n")
    suite = os.path.join(work, "suite")
    for i in range(checks):
        write(os.path.join(suite, "site%02d.cfg" % i),
              f"[default]\ndescription = site {i}\n"
              "[orvantis]\naction = show_site\n")
    return {"fan-out": fan_out, "suite": suite}


class Far:
    """The stand-in controller, logging to work/requests.jsonl, behind the
    latency proxy."""

    def __init__(self, work, rtt_ms):
        self.log_path = os.path.join(work, "requests.jsonl")
        open(self.log_path, "w").close()
        self.stub = self._start(
            [STUB, "--replies", os.path.join(work, "replies"), "--log",
             self.log_path, "--cert-dir", os.path.join(work, "cert"),
             "--lifetime", str(LIFETIME)], os.path.join(work, "stub.out"))
        port = self._port(self.stub, os.path.join(work, "stub.out"))
        self.proxy = self._start(
            [PROXY, "--target", str(port), "--rtt", str(rtt_ms), "--idle",
             str(LIFETIME), "--lifetime", str(LIFETIME)],
            os.path.join(work, "proxy.out"))
        self.address = "127.0.0.1:%d" % self._port(
            self.proxy, os.path.join(work, "proxy.out"))

    @staticmethod
    def _start(argv, out_path):
        with open(out_path, "w") as out:
            return subprocess.Popen([sys.executable, *argv],
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)

    @staticmethod
    def _port(proc, out_path):
        for _ in range(300):
            with open(out_path) as f:
                line = f.readline()
            if line.startswith("listening on ") and line.endswith("\n"):
                return int(line.strip().rsplit(":", 1)[1])
            if proc.poll() is not None:
                break
            time.sleep(0.1)
        with open(out_path) as f:
            raise RuntimeError(f"{out_path}: did not start:\n" + f.read())

    def stub_cpu_seconds(self):
        with open(f"/proc/{self.stub.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def logged(self):
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def stop(self):
        for proc in (self.proxy, self.stub):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def run_once(far, tarnwick, check_dir, options, table, rtt):
    """One run; returns (report, {measure: value})."""
    before = len(far.logged())
    cpu = far.stub_cpu_seconds()
    start = time.monotonic()
    proc = subprocess.run(
        [tarnwick, "--controller_ip", far.address, "--password", "bench",
         "--config_dir", check_dir, "--verbose", *options],
        stdin=subprocess.DEVNULL, capture_output=True, text=True,
        timeout=RUN_TIMEOUT)
    wall = time.monotonic() - start
    if proc.returncode != 0:
        raise RuntimeError(f"exit {proc.returncode}: {proc.stderr}")
    cpu = far.stub_cpu_seconds() - cpu
    requests = far.logged()[before:]
    seconds = []
    for line in proc.stderr.splitlines():
        match = TRACE.match(line)
        if match is None:
            raise RuntimeError(f"not a trace line: {line!r}")
        if table == "suite" or f": {ELEMENT_ACTION} " in match.group(1) + " ":
            seconds.append(float(match.group(2)))
    return proc.stdout, {
        "wall": wall, "round_trips": statistics.mean(seconds) / rtt,
        "requests": len(requests),
        "connections": len({r["connection"] for r in requests}),
        "logins": sum(r["action"] == "login" for r in requests),
        "stub_cpu": cpu}


def measure(builds, work, rounds, rtt_ms=20, elements=200, checks=30):
    """{table: [(label, build label, options, {measure: median})]}."""
    work = os.path.join(work, "distance")
    dirs = set_up(work, elements, checks)
    by_role = {"new": builds[-1]}
    if len(builds) == 2:
        by_role["old"] = builds[0]
    rows = [(table, label, by_role[role], options)
            for table, entries in ROWS.items()
            for label, role, options in entries if role in by_role]
    samples = {i: [] for i in range(len(rows))}
    reports = {}
    far = Far(work, rtt_ms)
    try:
        for r in range(rounds):
            log(f"distance: round {r + 1} of {rounds}, {rtt_ms} ms round trip")
            order = list(range(len(rows)))
            order = order[r % len(order):] + order[:r % len(order)]
            for i in order:
                table, label, build, options = rows[i]
                report, figures = run_once(far, build.tarnwick, dirs[table],
                                           options, table, rtt_ms / 1000)
                if reports.setdefault(table, report) != report:
                    raise RuntimeError(f"{table}, {label}: another report")
                samples[i].append(figures)
    finally:
        far.stop()
    results = {table: [] for table in ROWS}
    for i, (table, label, build, options) in enumerate(rows):
        medians = {key: statistics.median(s[key] for s in samples[i])
                   for key in samples[i][0]}
        results[table].append((label, build.label, medians))
    return {"rtt_ms": rtt_ms, "elements": elements, "checks": checks,
            "rounds": rounds, "tables": results}


def report(results, targets):
    """Markdown lines; appends (target, measured, met) to targets."""
    rtt, n = results["rtt_ms"], results["elements"]
    lines = [f"## At a distance ({rtt} ms round trip)", "",
             f"tarnwick through tools/latency_proxy.py: a compound check over "
             f"{n} elements (fan-out) and a suite of {results['checks']} "
             "simple checks, medians of "
             f"{results['rounds']} rounds. Round trips per request: each "
             "request's time from its `--verbose` line over the round trip, "
             "averaged over the element requests (fan-out) or all requests "
             "(suite). Requests, connections and logins as the stand-in "
             "logged them.", "",
             "| check | build | options | wall | round trips per request | "
             "requests | connections | logins | stand-in CPU |",
             "|---|---|---|---|---|---|---|---|---|"]
    for table, rows in results["tables"].items():
        for label, build, m in rows:
            options = "-" if label in ("plain", "build before") else label
            lines.append(
                f"| {table} | {build} | {options} | {m['wall']:.2f} s | "
                f"{m['round_trips']:.2f} | {m['requests']:.0f} | "
                f"{m['connections']:.0f} | {m['logins']:.0f} | "
                f"{m['stub_cpu']:.2f} s |")
            if table == "fan-out" and label == "--reuse-connections":
                targets.append(("`--reuse-connections`: round trips per "
                                "element request <= 1.15",
                                f"{m['round_trips']:.2f}",
                                m["round_trips"] <= 1.15))
                targets.append(("`--reuse-connections`: 1 connection per "
                                 "run", f"{m['connections']:.0f}",
                                 m["connections"] == 1))
            if table == "suite" and label == "--reuse-session":
                targets.append(("`--reuse-session`: 1 login per run",
                                f"{m['logins']:.0f}", m["logins"] == 1))
    lines.append("")
    return lines
