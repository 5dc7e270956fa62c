"""The "exporter" section of run_bench.py: tarnwick_exporter probed as
Prometheus would probe it, against the same checks run as tarnwick
processes.

200 controllers are nginx on 200 loopback ports, each answering every
request with one canned reply (a body with a "CID" and what the checks
filter out of it) over TLS with an ECDSA certificate: the Python stand-in
could not serve the handshakes beside the exporter on two cores. The module
has 5 checks, one a compound check over 20 elements (26 requests a probe),
with in_flight: 8 (kept connections within a probe).

A scheduler scrapes /probe for every target once every 15 s, the targets'
scrapes spread evenly over the interval as Prometheus spreads them, with
X-Prometheus-Scrape-Timeout-Seconds: 10, for --exporter-seconds (at least
120). Measured: every answer's status and probe_success, the exporter's CPU
time (user and system, from /proc) over the whole run and per probe, its
resident set after each round of 200 probes (flat: at most 5% growth over
the second half of the run, once the probes in flight at once have reached
their peak),
and a probe's duration at the 50th and 99th percentile. Then the
same checks against the same 200 controllers as 200 `tarnwick --keep-going
--reuse-session --in-flight 8` processes, two at a time: the CPU time of
each (wait4), the process's start included.
"""

import concurrent.futures
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

TARGETS = 200
INTERVAL = 15.0  # seconds between two scrapes of a target
ELEMENTS = 20
CHECKS = {
    "gateways.cfg": "[default]\nfilters = gateways, name & state\n"
                    "[orvantis]\naction = list_gateways\n",
    "gateway_names": "[default]\nfilters = gateways, name\n"
                     "[orvantis]\naction = list_gateways\n",
    "states.cfg": "[default]\nfilters = state & uptime\n"
                  "[orvantis]\naction = show_gateway\n"
                  "gateway_name = output(gateway_names)\n",
    "site.cfg": "[default]\nfilters = site\n[orvantis]\naction = show_site\n",
    "alarms.cfg": "[default]\nfilters = alarms\n"
                  "[orvantis]\naction = list_alarms\n",
    "system.cfg": "[default]\nfilters = state & uptime\n"
                  "[orvantis]\naction = show_system\n",
}
REQUESTS_PER_PROBE = 1 + 1 + (1 + ELEMENTS) + 3
BODY = json.dumps({
    "CID": "cid-bench", "site": "east", "alarms": [], "state": "up",
    "uptime": 86400,
    "gateways": [{"name": "gw-%02d" % i, "state": "up"}
                 for i in range(ELEMENTS)]})

NGINX_CONF = """\
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
worker_rlimit_nofile 8192;
events {{ worker_connections 4096; }}
http {{
  client_body_temp_path {dir}/client_body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  access_log off;
  server {{
{listen}
    ssl_certificate {dir}/cert.pem;
    ssl_certificate_key {dir}/key.pem;
    keepalive_timeout 5s;
    location / {{
      default_type application/json;
      return 200 '{body}';
    }}
  }}
}}
"""


def log(message):
    print(message, file=sys.stderr, flush=True)


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def free_ports(n):
    socks = []
    try:
        for _ in range(n):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Controllers:
    """nginx on TARGETS loopback ports with one canned reply."""

    def __init__(self, work):
        self.dir = os.path.join(work, "exporter-nginx")
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
             "-subj", "/CN=bench", "-keyout", f"{self.dir}/key.pem",
             "-out", f"{self.dir}/cert.pem"],
            check=True, capture_output=True)
        self.ports = free_ports(TARGETS)
        listen = "\n".join(f"    listen 127.0.0.1:{p} ssl;"
                           for p in self.ports)
        conf = os.path.join(self.dir, "nginx.conf")
        write(conf, NGINX_CONF.format(dir=self.dir, listen=listen,
                                      body=BODY))
        self.proc = subprocess.Popen(
            ["nginx", "-p", self.dir, "-c", conf, "-e",
             f"{self.dir}/error.log"], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not self._answers():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("nginx did not start: " + open(
                    f"{self.dir}/error.log").read())
            time.sleep(0.1)

    def _answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.ports[-1]), 1):
                return True
        except OSError:
            return False

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)


class ExporterProcess:
    def __init__(self, binary, work, checks):
        self.dir = os.path.join(work, "exporter")
        os.makedirs(self.dir, exist_ok=True)
        password = os.path.join(self.dir, "password")
        write(password, "pw\n")
        os.chmod(password, 0o600)
        config = os.path.join(self.dir, "tarnwick_exporter.yml")
        write(config, f"""modules:
  m: {{checks: {checks}, in_flight: 8}}
auths:
  a: {{username: monitor, password_file: {password},
      targets: ["127.0.0.1"], insecure_skip_verify: true}}
""")
        self.log_path = os.path.join(self.dir, "exporter.log")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(
            [binary, f"--config.file={config}",
             "--web.listen-address=127.0.0.1:0"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=self.log)
        self.port = None
        deadline = time.monotonic() + 30
        while self.port is None:
            with open(self.log_path) as f:
                for line in f:
                    if "msg=listening" in line:
                        self.port = int(line.split("address=127.0.0.1:")[1]
                                        .split()[0])
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the exporter did not start: " +
                                   open(self.log_path).read())
            time.sleep(0.1)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.log.close()


def scrape(port, target):
    """One scrape: (HTTP status, probe_success or None, seconds)."""
    url = (f"http://127.0.0.1:{port}/probe?target=127.0.0.1:{target}"
           "&module=m&auth=a")
    request = urllib.request.Request(
        url, headers={"X-Prometheus-Scrape-Timeout-Seconds": "10"})
    start = time.monotonic()
    try:
        with urllib.request.urlopen(request, timeout=30) as reply:
            body = reply.read().decode()
            status = reply.status
    except OSError as e:
        return getattr(e, "code", 0), None, time.monotonic() - start
    success = None
    for line in body.splitlines():
        if line.startswith("probe_success "):
            success = float(line.split()[1])
    return status, success, time.monotonic() - start


def probe_as_prometheus(exporter, ports, seconds):
    """Scrapes every target every INTERVAL for `seconds`; returns the
    scrapes and the exporter's CPU and resident set per round."""
    rounds = max(1, int(seconds // INTERVAL))
    results = []
    lock = threading.Lock()
    rss = []
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=64)
    cpu_start = cpu_seconds(exporter.proc.pid)
    start = time.monotonic()

    def one(port):
        outcome = scrape(exporter.port, port)
        with lock:
            results.append(outcome)

    for r in range(rounds):
        for i, port in enumerate(ports):
            due = start + r * INTERVAL + i * INTERVAL / len(ports)
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            pool.submit(one, port)
        rss.append(resident_mb(exporter.proc.pid))
        log(f"exporter: round {r + 1} of {rounds}, "
            f"{len(results)} answers, {rss[-1]:.1f} MB")
    pool.shutdown(wait=True)
    took = time.monotonic() - start
    cpu = cpu_seconds(exporter.proc.pid) - cpu_start
    rss.append(resident_mb(exporter.proc.pid))
    return {"scrapes": results, "cpu": cpu, "seconds": took, "rss": rss,
            "rounds": rounds}


def run_commands(tarnwick, ports, checks):
    """The same checks as one tarnwick process per target, two at a time;
    the CPU time of each."""
    cpus = []
    failed = 0
    queue = list(ports)
    running = {}

    def start(port):
        proc = subprocess.Popen(
            [tarnwick, "--controller_ip", f"127.0.0.1:{port}",
             "--username", "monitor", "--password", "pw",
             "--config_dir", checks, "--keep-going", "--reuse-session",
             "--in-flight", "8"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        running[proc.pid] = proc

    while queue or running:
        while queue and len(running) < 2:
            start(queue.pop())
        pid, status, usage = os.wait4(-1, 0)
        if pid not in running:
            continue
        del running[pid]
        cpus.append(usage.ru_utime + usage.ru_stime)
        failed += os.waitstatus_to_exitcode(status) != 0
    return {"cpus": cpus, "failed": failed}


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def measure(builds, work, seconds=120):
    build = builds[-1]
    exporter_bin = os.path.join(os.path.dirname(build.tarnwick),
                                "tarnwick_exporter")
    if shutil.which("nginx") is None:
        log("exporter: no nginx on PATH, the section is left out")
        return None
    checks = os.path.join(work, "exporter-checks")
    shutil.rmtree(checks, ignore_errors=True)
    for name, text in CHECKS.items():
        write(os.path.join(checks, name), text)
    controllers = Controllers(work)
    try:
        exporter = ExporterProcess(exporter_bin, work, checks)
        try:
            probes = probe_as_prometheus(exporter, controllers.ports,
                                         seconds)
        finally:
            exporter.stop()
        nginx_before = cpu_seconds(controllers.proc.pid)
        commands = run_commands(build.tarnwick, controllers.ports, checks)
        commands["nginx_cpu"] = cpu_seconds(controllers.proc.pid) - \
            nginx_before
    finally:
        controllers.stop()
    return {"probes": probes, "commands": commands, "build": build.label}


def report(results, targets):
    """Markdown lines; appends (target, measured, met) to targets."""
    if results is None:
        return []
    probes = results["probes"]
    scrapes = probes["scrapes"]
    durations = [s[2] for s in scrapes]
    good = sum(1 for s in scrapes if s[0] == 200 and s[1] == 1)
    n = len(scrapes)
    per_probe = probes["cpu"] / n * 1000
    cpus = results["commands"]["cpus"]
    command_mean = statistics.mean(cpus) * 1000
    command_median = statistics.median(cpus) * 1000
    rss = probes["rss"]
    lines = [
        "## The exporter at 200 targets", "",
        f"{TARGETS} controllers (nginx, one canned reply, TLS with ECDSA), "
        f"each scraped every {INTERVAL:.0f} s for {probes['seconds']:.0f} s "
        f"({probes['rounds']} rounds), the scrapes spread over the "
        "interval; module of 5 checks, one compound over "
        f"{ELEMENTS} elements ({REQUESTS_PER_PROBE} requests a probe), "
        "`in_flight: 8`. Then the same checks as 200 `tarnwick "
        "--keep-going --reuse-session --in-flight 8` processes, two at a "
        "time.", "",
        "| figure | value |", "|---|---|",
        f"| scrapes answered 200 with probe_success 1 | {good} of {n} |",
        f"| exporter CPU over the run | {probes['cpu']:.2f} s |",
        f"| exporter CPU per probe | {per_probe:.1f} ms |",
        f"| `tarnwick` CPU per run, mean (median) | {command_mean:.1f} ms "
        f"({command_median:.1f} ms) |",
        f"| `tarnwick` runs that failed | {results['commands']['failed']} |",
        f"| probe duration, p50 / p99 | {percentile(durations, 50)*1000:.0f}"
        f" ms / {percentile(durations, 99)*1000:.0f} ms |",
        "| exporter resident set after each round | " +
        ", ".join(f"{m:.1f}" for m in rss) + " MB |",
        "",
    ]
    targets.append(("exporter: every probe succeeds", f"{good} of {n}",
                    good == n))
    targets.append(("exporter: CPU per probe at most the `tarnwick` "
                    "command's for the same checks",
                    f"{per_probe:.1f} ms vs {command_mean:.1f} ms",
                    per_probe <= command_mean))
    # Flat: the resident set grows while the probes in flight at once reach
    # their peak, then no more; over the second half of the run by at most
    # 5%.
    warm = rss[len(rss) // 2]
    growth = rss[-1] / warm if warm else 0
    targets.append(("exporter: memory flat over the second half of the run "
                    "(at most +5%)", f"{warm:.1f} MB -> {rss[-1]:.1f} MB",
                    growth <= 1.05))
    return lines
