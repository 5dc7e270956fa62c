"""The "distance" section of run_bench.py: tarnwick against the stand-in
controller through tools/latency_proxy.py, a round trip of --rtt
milliseconds away (20 by default).

  fan-out  one compound check over ELEMENTS gateways: a referenced check
           lists them, then one request per gateway; the build before
           (--baseline) and this one, plain, with --reuse-connections and
           with --in-flight 8 and 32 (HTTP/1.1, the stand-in); and with
           --in-flight 32 through nginx speaking HTTP/2, which answers the
           element action itself from a static file and passes the rest on
           to the stand-in (skipped without nginx)
  suite    CHECKS simple checks, plain, with --reuse-session, with
           --reuse-connections, and with both

Each round runs every row once, the order rotated. Per row, medians of the
rounds: the wall time of the run; round trips per request; the requests,
connections and logins that the stand-in logged (nginx's requests and
connections for the nginx row, as its access log has them); tarnwick's peak
memory and CPU time (GNU time); the stand-in's and the proxies' CPU time (user
and system, from /proc). Round trips per element request of the fan-out:
the time from the end of the referenced check's request to the end of the
last element request (the --verbose lines, timed as they arrive) over the
element count and the round trip, so that requests side by side count for
what they take together; per request of the suite: each request's time
from its --verbose line over the round trip, averaged. Every row must print
the same report as the first row of its table.
"""

import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STUB = os.path.join(ROOT, "tools", "stub_controller.py")
PROXY = os.path.join(ROOT, "tools", "latency_proxy.py")
LIFETIME = 3 * 3600  # seconds; both stop earlier when the section ends
RUN_TIMEOUT = 600  # seconds for one run
TIME = "/usr/bin/time"  # GNU time, for peak memory and CPU time
ELEMENT_ACTION = "show_gateway"
TRACE = re.compile(r"^\[tarnwick\] (.*): HTTP \d+, \d+ bytes, "
                   r"(\d+\.\d{3}) s(?:, (?:reused|new connection))?$")
GATEWAY = {"state": "up", "model": "edge-x", "uptime": 123456,
           "uplinks": [{"name": "wan1", "up": True, "mtu": 1500},
                       {"name": "wan2", "up": False, "mtu": 1500}]}

# table: [(label, which build, options, route)]; "old" is the baseline,
# skipped without one; route "nginx" goes through nginx with HTTP/2, skipped
# without nginx.
ROWS = {
    "fan-out": [("build before", "old", [], "stand-in"),
                ("plain", "new", [], "stand-in"),
                ("--reuse-connections", "new", ["--reuse-connections"],
                 "stand-in"),
                ("--in-flight 8", "new", ["--in-flight", "8"], "stand-in"),
                ("--in-flight 32", "new", ["--in-flight", "32"], "stand-in"),
                ("--in-flight 32", "new", ["--in-flight", "32"], "nginx")],
    "suite": [("plain", "new", [], "stand-in"),
              ("--reuse-session", "new", ["--reuse-session"], "stand-in"),
              ("--reuse-connections", "new", ["--reuse-connections"],
               "stand-in"),
              ("both", "new", ["--reuse-connections", "--reuse-session"],
               "stand-in")],
}

# nginx in front of the stand-in, speaking HTTP/2 over TLS: the front server
# hands each request, its form in a header, to a plain server behind it,
# which answers the element action from gateway.json (a static file, served
# to a POST by way of the 405 that the static module gives it) and passes
# everything else on to the stand-in.
NGINX_CONF = """\
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 512; }}
http {{
  client_body_temp_path {dir}/client_body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  log_format front escape=json
      '{{"connection": "$connection", "protocol": "$server_protocol"}}';
  upstream behind {{
    server 127.0.0.1:{behind};
    keepalive 64;
  }}
  server {{
    listen 127.0.0.1:{port} ssl http2;
    ssl_certificate {cert_dir}/cert.pem;
    ssl_certificate_key {cert_dir}/key.pem;
    access_log {dir}/access.log front;
    client_body_buffer_size 64k;
    client_body_in_single_buffer on;
    location / {{
      proxy_pass http://behind;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header X-Form $request_body;
    }}
  }}
  server {{
    listen 127.0.0.1:{behind};
    access_log off;
    location = /v1/api {{
      if ($http_x_form ~ "(^|&)action={action}(&|$)") {{
        rewrite ^ /gateway.json last;
      }}
      proxy_pass https://127.0.0.1:{stub};
      proxy_http_version 1.1;
      proxy_set_header X-Form "";
    }}
    location = /gateway.json {{
      internal;
      root {dir};
      default_type application/json;
      error_page 405 =200 $uri;
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


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def cpu_seconds(pid):
    """User and system CPU time of a running process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start(argv, out_path):
    with open(out_path, "w") as out:
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)


def listening_port(proc, out_path):
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


class Far:
    """The stand-in controller, logging to work/requests.jsonl, behind the
    latency proxy; and, where nginx is installed, nginx with HTTP/2 in front
    of it, behind a latency proxy of its own."""

    def __init__(self, work, rtt_ms):
        self.work = work
        self.log_path = os.path.join(work, "requests.jsonl")
        open(self.log_path, "w").close()
        self.procs = []
        self.stub = self._start(
            [sys.executable, STUB, "--replies", os.path.join(work, "replies"),
             "--log", self.log_path, "--cert-dir", os.path.join(work, "cert"),
             "--lifetime", str(LIFETIME)], os.path.join(work, "stub.out"))
        stub_port = listening_port(self.stub, os.path.join(work, "stub.out"))
        self.proxy, self.address = self._proxy(work, "proxy", stub_port,
                                               rtt_ms)
        self.nginx = None
        self.nginx_address = None
        self.access_log = os.path.join(work, "nginx", "access.log")
        if shutil.which("nginx") is None:
            log("distance: no nginx on PATH, its row is left out")
            return
        port = self._nginx(work, stub_port)
        self.nginx_proxy, self.nginx_address = self._proxy(
            work, "nginx-proxy", port, rtt_ms)

    def _start(self, argv, out_path):
        proc = start(argv, out_path)
        self.procs.append(proc)
        return proc

    def _proxy(self, work, name, target, rtt_ms):
        out = os.path.join(work, name + ".out")
        proc = self._start(
            [sys.executable, PROXY, "--target", str(target), "--rtt",
             str(rtt_ms), "--idle", str(LIFETIME), "--lifetime",
             str(LIFETIME)], out)
        return proc, "127.0.0.1:%d" % listening_port(proc, out)

    def _nginx(self, work, stub_port):
        directory = os.path.join(work, "nginx")
        os.makedirs(directory, exist_ok=True)
        write(os.path.join(directory, "gateway.json"), json.dumps(GATEWAY))
        port = free_port()
        conf = os.path.join(directory, "nginx.conf")
        write(conf, NGINX_CONF.format(
            dir=directory, port=port, behind=free_port(), stub=stub_port,
            cert_dir=os.path.join(work, "cert"), action=ELEMENT_ACTION))
        error_log = os.path.join(directory, "error.log")
        self.nginx = self._start(["nginx", "-p", directory, "-c", conf, "-e",
                                  error_log], os.path.join(work, "nginx.out"))
        pid_file = os.path.join(directory, "nginx.pid")
        for _ in range(300):
            if os.path.exists(pid_file) or self.nginx.poll() is not None:
                break
            time.sleep(0.1)
        if self.nginx.poll() is not None:
            with open(error_log) as f:
                raise RuntimeError("nginx did not start:\n" + f.read())
        return port

    def cpu(self):
        """{process: CPU seconds so far} of the helpers."""
        cpu = {"stub": cpu_seconds(self.stub.pid),
               "proxy": cpu_seconds(self.proxy.pid)}
        if self.nginx is not None:
            cpu["nginx"] = cpu_seconds(self.nginx.pid)
            cpu["proxy"] += cpu_seconds(self.nginx_proxy.pid)
        return cpu

    def logged(self):
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def served(self):
        """What nginx's front server logged so far, a line per request."""
        try:
            with open(self.access_log, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.endswith("\n")]
        except FileNotFoundError:
            return []

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def run_traced(argv, work):
    """Runs argv under GNU time; returns (exit status, standard output,
    [(time, line)] of standard error as the lines arrived, wall seconds,
    peak memory in MB, CPU seconds). GNU time stands between, so that the
    peak is the command's own, not this process's at the fork."""
    usage = os.path.join(work, "usage")
    start_time = time.monotonic()
    proc = subprocess.Popen([TIME, "-f", "%M %U %S", "-o", usage, *argv],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    killer = threading.Timer(RUN_TIMEOUT, proc.kill)
    killer.start()
    out = []
    reader = threading.Thread(target=lambda: out.append(proc.stdout.read()))
    reader.start()
    lines = [(time.monotonic(), line.rstrip("\n")) for line in proc.stderr]
    reader.join()
    status = proc.wait()
    wall = time.monotonic() - start_time
    killer.cancel()
    proc.stdout.close()
    proc.stderr.close()
    with open(usage) as f:
        last = f.read().splitlines()[-1].split()
    peak_kb, user, system = int(last[0]), float(last[1]), float(last[2])
    return status, out[0], lines, wall, peak_kb / 1024, user + system


def round_trips(lines, table, rtt, elements):
    """Round trips per request from the timed --verbose lines (see the
    module's documentation)."""
    seconds = []
    ends = []
    for arrived, line in lines:
        match = TRACE.match(line)
        if match is None:
            raise RuntimeError(f"not a trace line: {line!r}")
        element = f": {ELEMENT_ACTION} " in match.group(1) + " "
        seconds.append(float(match.group(2)))
        ends.append((arrived, element))
    if table == "suite":
        return statistics.mean(seconds) / rtt
    first = next(i for i, (_, element) in enumerate(ends) if element)
    span = ends[-1][0] - ends[first - 1][0]
    return span / elements / rtt


def run_once(far, tarnwick, check_dir, options, table, route, rtt, elements):
    """One run; returns (report, {measure: value})."""
    before = len(far.logged())
    served_before = len(far.served())
    cpu = far.cpu()
    address = far.nginx_address if route == "nginx" else far.address
    status, out, lines, wall, peak_mb, tarnwick_cpu = run_traced(
        [tarnwick, "--controller_ip", address, "--password", "bench",
         "--config_dir", check_dir, "--verbose", *options], far.work)
    if status != 0:
        raise RuntimeError(f"exit {status}: " +
                           "\n".join(line for _, line in lines))
    cpu = {k: v - cpu[k] for k, v in far.cpu().items()}
    requests = far.logged()[before:]
    served = far.served()[served_before:] if route == "nginx" else requests
    return out, {
        "wall": wall,
        "round_trips": round_trips(lines, table, rtt, elements),
        "requests": len(served),
        "connections": len({r["connection"] for r in served}),
        "logins": sum(r["action"] == "login" for r in requests),
        "peak_mb": peak_mb, "cpu": tarnwick_cpu,
        "stub_cpu": cpu["stub"], "proxy_cpu": cpu["proxy"],
        "nginx_cpu": cpu.get("nginx", 0.0)}


def measure(builds, work, rounds, rtt_ms=20, elements=200, checks=30):
    """{table: [(label, build label, route, {measure: median})]}."""
    work = os.path.join(work, "distance")
    dirs = set_up(work, elements, checks)
    by_role = {"new": builds[-1]}
    if len(builds) == 2:
        by_role["old"] = builds[0]
    far = Far(work, rtt_ms)
    try:
        rows = [(table, label, by_role[role], options, route)
                for table, entries in ROWS.items()
                for label, role, options, route in entries
                if role in by_role and
                (route != "nginx" or far.nginx is not None)]
        samples = {i: [] for i in range(len(rows))}
        reports = {}
        for r in range(rounds):
            log(f"distance: round {r + 1} of {rounds}, {rtt_ms} ms round trip")
            order = list(range(len(rows)))
            order = order[r % len(order):] + order[:r % len(order)]
            for i in order:
                table, label, build, options, route = rows[i]
                report, figures = run_once(far, build.tarnwick, dirs[table],
                                           options, table, route,
                                           rtt_ms / 1000, elements)
                if reports.setdefault(table, report) != report:
                    raise RuntimeError(f"{table}, {label}: another report")
                samples[i].append(figures)
    finally:
        far.stop()
    results = {table: [] for table in ROWS}
    for i, (table, label, build, options, route) in enumerate(rows):
        medians = {key: statistics.median(s[key] for s in samples[i])
                   for key in samples[i][0]}
        results[table].append((label, build.label, route, medians))
    return {"rtt_ms": rtt_ms, "elements": elements, "checks": checks,
            "rounds": rounds, "tables": results}


# (table, label, route): [(what, the measure, at most, or the value)]
TARGETS = {
    ("fan-out", "--reuse-connections", "stand-in"): [
        ("`--reuse-connections`: round trips per element request <= 1.15",
         "round_trips", 1.15, None),
        ("`--reuse-connections`: 1 connection per run", "connections", None,
         1)],
    ("fan-out", "--in-flight 8", "stand-in"): [
        ("`--in-flight 8`: round trips per element request <= 0.16",
         "round_trips", 0.16, None)],
    ("fan-out", "--in-flight 32", "nginx"): [
        ("`--in-flight 32` over HTTP/2: round trips per element request "
         "<= 0.06", "round_trips", 0.06, None),
        ("`--in-flight 32` over HTTP/2: 1 connection", "connections", None,
         1)],
    ("suite", "--reuse-session", "stand-in"): [
        ("`--reuse-session`: 1 login per run", "logins", None, 1)],
}


def report(results, targets):
    """Markdown lines; appends (target, measured, met) to targets."""
    rtt, n = results["rtt_ms"], results["elements"]
    lines = [f"## At a distance ({rtt} ms round trip)", "",
             f"tarnwick through tools/latency_proxy.py: a compound check over "
             f"{n} elements (fan-out) and a suite of {results['checks']} "
             "simple checks, medians of "
             f"{results['rounds']} rounds. Round trips per request: for the "
             "fan-out, from the end of the referenced check's request to the "
             "end of the last element request (the `--verbose` lines as they "
             "arrive), over the element count and the round trip; for the "
             "suite, each request's time from its `--verbose` line over the "
             "round trip, averaged. Requests, connections and logins as the "
             "stand-in logged them (requests and connections as nginx logged "
             "them through nginx). Peak memory and CPU of tarnwick from "
             "GNU time; CPU of the stand-in, the proxy and nginx from /proc.", "",
             "| check | build | options | via | wall | round trips per "
             "request | requests | connections | logins | peak memory | "
             "tarnwick CPU | stand-in CPU | proxy CPU |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for table, rows in results["tables"].items():
        for label, build, route, m in rows:
            options = "-" if label in ("plain", "build before") else label
            via = ("nginx, HTTP/2 (CPU %.2f s)" % m["nginx_cpu"]
                   if route == "nginx" else "stand-in")
            lines.append(
                f"| {table} | {build} | {options} | {via} | {m['wall']:.2f} s "
                f"| {m['round_trips']:.3f} | {m['requests']:.0f} | "
                f"{m['connections']:.0f} | {m['logins']:.0f} | "
                f"{m['peak_mb']:.1f} MB | {m['cpu']:.2f} s | "
                f"{m['stub_cpu']:.2f} s | {m['proxy_cpu']:.2f} s |")
            for what, key, most, value in TARGETS.get((table, label, route),
                                                      []):
                met = m[key] <= most if most is not None else m[key] == value
                shown = (f"{m[key]:.3f}" if key == "round_trips"
                         else f"{m[key]:.0f}")
                targets.append((what, shown, met))
    lines.append("")
    return lines
