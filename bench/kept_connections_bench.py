"""The "connections" section of run_bench.py: tarnwick_exporter probing a
module of 5 checks (a login and 5 requests a probe) at the stand-in
controller a round trip of --rtt milliseconds away, through
tools/latency_proxy.py, with an auth that keeps connections
(keep_connections: true) and one that does not.

Each round starts the exporter afresh, then for each auth probes the
target: cold (the first probe), warm (WARM probes back to back, the first
after the cold one) and after a pause of IDLE seconds, just above the
idle bound past which a kept connection is not used (3 s, which libcurl
7.88 counts in whole seconds: 4 s in effect): the next probe at a scrape
interval of 15 s or 60 s meets the same (a new connection, the TLS session
resumed), without the bench waiting that long. Per row, medians of
the rounds: the probe's round trips (its probe_duration_seconds over the
round trip), and the connections it opened and how many of them resumed a
TLS session, as the stand-in logged them (a connection is the probe's when
its first request is). Every probe must succeed.
"""

import json
import os
import statistics
import sys
import time
import urllib.request

from distance_bench import listening_port, start, write

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUB = os.path.join(ROOT, "tools", "stub_controller.py")
PROXY = os.path.join(ROOT, "tools", "latency_proxy.py")
LIFETIME = 3600  # seconds; the helpers stop earlier when the section ends
CHECKS = 5
WARM = 3
IDLE = 4.5  # seconds between the last warm probe and the next
AUTHS = {"kept": "true", "plain": "false"}
PHASES = ("cold", "warm", f"after {IDLE:g} s idle")


def log(message):
    print(message, file=sys.stderr, flush=True)


class Exporter:
    def __init__(self, binary, work):
        directory = os.path.join(work, "exporter")
        password = os.path.join(directory, "password")
        write(password, "pw\n")
        os.chmod(password, 0o600)
        config = os.path.join(directory, "tarnwick_exporter.yml")
        auths = "".join(
            f"  {name}: {{username: monitor, password_file: {password}, "
            f"targets: [\"127.0.0.1\"], insecure_skip_verify: true, "
            f"keep_connections: {keep}}}\n" for name, keep in AUTHS.items())
        write(config, f"modules:\n  five: {{checks: {work}/checks}}\n"
                      f"auths:\n{auths}")
        self.log_path = os.path.join(directory, "exporter.log")
        self.proc = start([binary, f"--config.file={config}",
                           "--web.listen-address=127.0.0.1:0"], self.log_path)
        deadline = time.monotonic() + 30
        self.port = None
        while self.port is None:
            with open(self.log_path) as f:
                for line in f:
                    if "msg=listening" in line:
                        self.port = int(line.split("address=127.0.0.1:")[1]
                                        .split()[0])
            if self.proc.poll() is not None or time.monotonic() > deadline:
                with open(self.log_path) as f:
                    raise RuntimeError("the exporter did not start: " +
                                       f.read())
            time.sleep(0.05)

    def probe(self, target, auth):
        """One scrape: its probe_duration_seconds; fails unless the probe
        succeeded."""
        url = (f"http://127.0.0.1:{self.port}/probe?target={target}"
               f"&module=five&auth={auth}")
        with urllib.request.urlopen(url, timeout=60) as reply:
            body = reply.read().decode()
        samples = dict(line.rsplit(" ", 1) for line in body.splitlines()
                       if line and not line.startswith("#"))
        if samples.get("probe_success") != "1":
            raise RuntimeError("a probe failed:\n" + body)
        return float(samples["probe_duration_seconds"])

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


class Far:
    """The stand-in, logging every request, behind the latency proxy."""

    def __init__(self, work, rtt_ms):
        self.log_path = os.path.join(work, "requests.jsonl")
        open(self.log_path, "w").close()
        stub_out = os.path.join(work, "stub.out")
        self.procs = [start(
            [sys.executable, STUB, "--replies", os.path.join(work, "replies"),
             "--log", self.log_path, "--cert-dir", os.path.join(work, "cert"),
             "--lifetime", str(LIFETIME)], stub_out)]
        proxy_out = os.path.join(work, "proxy.out")
        self.procs.append(start(
            [sys.executable, PROXY, "--target",
             str(listening_port(self.procs[0], stub_out)), "--rtt",
             str(rtt_ms), "--idle", str(LIFETIME), "--lifetime",
             str(LIFETIME)], proxy_out))
        self.address = "127.0.0.1:%d" % listening_port(self.procs[1],
                                                       proxy_out)
        self.seen = set()  # connections counted so far

    def opened(self):
        """(connections, of them resumed) first used since the last call."""
        with open(self.log_path, encoding="utf-8") as f:
            requests = [json.loads(line) for line in f if line.endswith("\n")]
        new = {}
        for r in requests:
            if r["connection"] not in self.seen:
                new.setdefault(r["connection"], r["tls_resumed"])
        self.seen.update(new)
        return len(new), sum(1 for resumed in new.values() if resumed)

    def stop(self):
        for proc in reversed(self.procs):
            proc.terminate()
            proc.wait(timeout=10)


def one_round(exporter, far, rtt):
    """{(auth, phase): (round trips, connections, resumed)} of one round."""
    figures = {}
    for auth in AUTHS:
        far.opened()
        probes = []
        for phase in ("cold",) + ("warm",) * WARM + ("idle",):
            if phase == "idle":
                time.sleep(IDLE)
            seconds = exporter.probe(far.address, auth)
            probes.append((phase, seconds / rtt, *far.opened()))
        warm = [p[1:] for p in probes if p[0] == "warm"]
        figures[auth, PHASES[0]] = probes[0][1:]
        figures[auth, PHASES[1]] = tuple(statistics.median(column)
                                         for column in zip(*warm))
        figures[auth, PHASES[2]] = probes[-1][1:]
    return figures


def measure(builds, work, rounds, rtt_ms):
    build = builds[-1]
    binary = os.path.join(os.path.dirname(build.tarnwick),
                          "tarnwick_exporter")
    work = os.path.join(work, "connections")
    for i in range(CHECKS):
        write(os.path.join(work, "checks", "site%d.cfg" % i),
              "[orvantis]\naction = show_site\n")
    write(os.path.join(work, "replies", "show_site.json"),
          json.dumps({"site": "east"}))
    far = Far(work, rtt_ms)
    per_round = []
    try:
        for r in range(rounds):
            log(f"connections: round {r + 1} of {rounds}")
            exporter = Exporter(binary, work)
            try:
                per_round.append(one_round(exporter, far, rtt_ms / 1000))
            finally:
                exporter.stop()
    finally:
        far.stop()
    rows = {key: tuple(statistics.median(column) for column in
                       zip(*(figures[key] for figures in per_round)))
            for key in per_round[0]}
    return {"rows": rows, "rounds": rounds, "rtt": rtt_ms}


def report(results, targets):
    """Markdown lines; appends (target, measured, met) to targets."""
    rows = results["rows"]
    lines = [
        "## Connections kept across probes of the exporter", "",
        f"A module of {CHECKS} checks (a login and {CHECKS} requests a "
        f"probe) at the stand-in, {results['rtt']:g} ms away; medians of "
        f"{results['rounds']} rounds. Warm: {WARM} probes back to back. "
        f"After {IDLE:g} s idle stands for a scrape interval of 15 s or "
        "more: the kept connection is too old to be used, a new one "
        "resumes the TLS session.", "",
        "| auth | probe | round trips | connections opened | of them TLS "
        "resumed |", "|---|---|---:|---:|---:|"]
    for (auth, phase), (trips, opened, resumed) in rows.items():
        name = "keep_connections" if auth == "kept" else "default"
        lines.append(f"| {name} | {phase} | {trips:.1f} | {opened:g} | "
                     f"{resumed:g} |")
    lines.append("")
    kept = rows["kept", PHASES[1]]
    targets.append(("connections: a warm probe with keep_connections opens "
                    "no connection", f"{kept[1]:g}", kept[1] == 0))
    idle = rows["kept", PHASES[2]]
    targets.append(("connections: after the idle bound, one new connection "
                    "that resumes the TLS session",
                    f"{idle[1]:g} opened, {idle[2]:g} resumed",
                    idle[1] == 1 and idle[2] == 1))
    return lines
