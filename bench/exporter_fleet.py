"""What exporter_bench.py probes and watches: nginx standing in for a fleet
of controllers, the exporter under test, and what the two leave behind (the
access log, /metrics, /proc)."""

import json
import os
import resource
import shutil
import socket
import subprocess
import time
import urllib.request

ELEMENTS = 20
# Element requests of a probe in flight at once (the module's in_flight);
# 1 leaves the key out: one request after another, over one connection
# where the auth keeps them. Set by --exporter-in-flight.
IN_FLIGHT = 1
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
# Long, so that a login's body is longer than any other request's: the
# access log's count of logins keys on that length.
PASSWORD = "bench-" + "p" * 60

# One line per request: when it ended, the controller (port), the
# connection, its request count (1 for a connection's first request) and
# whether its TLS session was resumed ("r"), and the body's length (nginx
# reads no body it answers with `return`, but the header says how long).
NGINX_CONF = """\
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
worker_rlimit_nofile {files};
events {{ worker_connections {connections}; }}
http {{
  client_body_temp_path {dir}/client_body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  log_format fleet '$msec $server_port $connection $connection_requests '
                   '$ssl_session_reused $content_length';
  {access_log};
  server {{
{listen}
    ssl_certificate {dir}/cert.pem;
    ssl_certificate_key {dir}/key.pem;
    ssl_session_cache shared:fleet:20m;
    ssl_session_timeout 1h;
    keepalive_timeout 75s;
    keepalive_requests 10000;
    location / {{
      default_type application/json;
      return 200 '{body}';
    }}
  }}
}}
"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def write_checks(directory):
    shutil.rmtree(directory, ignore_errors=True)
    for name, text in CHECKS.items():
        write(os.path.join(directory, name), text)


def in_flight_key():
    """The module's in_flight key, or "" for none."""
    return f", in_flight: {IN_FLIGHT}" if IN_FLIGHT > 1 else ""


def in_flight_options():
    """The tarnwick command's options for the same."""
    return ["--in-flight", str(IN_FLIGHT)] if IN_FLIGHT > 1 else []


def open_files_wanted(targets):
    """Descriptors for every target's connections kept at once, on either
    side, with room to spare."""
    return targets * (IN_FLIGHT + 2) + 1024


def raise_open_files(wanted):
    """Raises this process's RLIMIT_NOFILE (which nginx, the exporter and
    tarnwick inherit) to `wanted`, or as far as the hard limit lets an
    unprivileged process; returns the soft limit."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < wanted:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, wanted))
        except (ValueError, OSError):
            wanted = hard
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (wanted, max(wanted, hard)
                            if hard != resource.RLIM_INFINITY else hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


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


def proc_status(pid, field):
    """A kB field of /proc/PID/status in MB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_files_limit(pid):
    with open(f"/proc/{pid}/limits") as f:
        for line in f:
            if line.startswith("Max open files"):
                return line.split()[3]
    return "?"


class Controllers:
    """nginx on `count` loopback ports with one canned reply, and one port
    more (`calibration`) for a probe that shows a login's body length.
    With `name`, every request goes to an access log."""

    def __init__(self, work, count, name=None):
        self.dir = os.path.join(work, "exporter-nginx" +
                                (f"-{name}" if name else ""))
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
             "-subj", "/CN=bench", "-keyout", f"{self.dir}/key.pem",
             "-out", f"{self.dir}/cert.pem"],
            check=True, capture_output=True)
        ports = free_ports(count + 1)
        self.ports, self.calibration = ports[:-1], ports[-1]
        self.access_log = (os.path.join(self.dir, "access.log")
                           if name else None)
        listen = "\n".join(f"    listen 127.0.0.1:{p} ssl;" for p in ports)
        conf = os.path.join(self.dir, "nginx.conf")
        connections = open_files_wanted(count)
        write(conf, NGINX_CONF.format(
            dir=self.dir, listen=listen, body=BODY, connections=connections,
            files=2 * connections,
            access_log=(f"access_log {self.access_log} fleet buffer=256k "
                        "flush=1s" if name else "access_log off")))
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
            with socket.create_connection(("127.0.0.1", self.calibration), 1):
                return True
        except OSError:
            return False

    def cpu(self):
        return cpu_seconds(self.proc.pid)

    def stop(self):
        """Stops nginx, which writes out the access log's buffer."""
        self.proc.terminate()
        self.proc.wait(timeout=30)

    def requests(self):
        """The access log: (time, port, connection, connection's request
        number, resumed, body length) per request."""
        lines = []
        with open(self.access_log) as f:
            for line in f:
                t, port, conn, number, reused, length = line.split()
                lines.append((float(t), int(port), int(conn), int(number),
                              reused == "r",
                              int(length) if length.isdigit() else 0))
        return lines

    def login_length(self, lines):
        """The body length of the calibration probe's first request, its
        login, when no other request of it is as long; else None."""
        mine = [line for line in lines if line[1] == self.calibration]
        if not mine:
            return None
        length = mine[0][5]
        return length if all(line[5] != length for line in mine[1:]) \
            else None


class MissingKeys(Exception):
    """The exporter refused the configuration for an unknown key."""


class ExporterProcess:
    """tarnwick_exporter with one module `m` and one auth `a`; `auth_keys`
    are further keys of the auth."""

    def __init__(self, binary, work, checks, name, auth_keys=""):
        self.dir = os.path.join(work, "exporter-" + name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        password = os.path.join(self.dir, "password")
        write(password, PASSWORD + "\n")
        os.chmod(password, 0o600)
        config = os.path.join(self.dir, "tarnwick_exporter.yml")
        write(config, f"""modules:
  m: {{checks: {checks}{in_flight_key()}}}
auths:
  a: {{username: monitor, password_file: {password},
      targets: ["127.0.0.1"], insecure_skip_verify: true{auth_keys}}}
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
                text = f.read()
            for line in text.splitlines():
                if "msg=listening" in line:
                    self.port = int(line.split("address=127.0.0.1:")[1]
                                    .split()[0])
            if self.port is None and self.proc.poll() is not None:
                self.log.close()
                if "unknown key" in text:
                    raise MissingKeys(text.strip())
                raise RuntimeError("the exporter did not start: " + text)
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the exporter did not start: " + text)
            time.sleep(0.1)

    def logins(self):
        """tarnwick_exporter_logins_total summed over its labels, or None
        when the exporter has no such series."""
        url = f"http://127.0.0.1:{self.port}/metrics"
        with urllib.request.urlopen(url, timeout=30) as reply:
            text = reply.read().decode()
        values = [float(line.rsplit(None, 1)[1])
                  for line in text.splitlines()
                  if line.startswith("tarnwick_exporter_logins_total")]
        return sum(values) if values else None

    def cpu(self):
        return cpu_seconds(self.proc.pid)

    def resident_mb(self):
        return proc_status(self.proc.pid, "VmRSS")

    def peak_mb(self):
        return proc_status(self.proc.pid, "VmHWM")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        self.log.close()
