"""tarnwick with nginx as a reverse proxy in front of the stand-in controller:
the report, the exit status and standard error are byte for byte those of
the same run straight against the stand-in, and the stand-in receives the
same requests, whether nginx speaks HTTP/2 or HTTP/1.1, TLS 1.2 or 1.3, and
sends its replies gzip-compressed, chunked or as they came; with
--reuse-connections each run goes over one connection to nginx; and with
--in-flight over HTTP/2 a compound check's element requests go side by side
as streams of that one connection.

nginx runs in the foreground as a single process, with its configuration,
temporary files, pid file and logs in a temporary directory. Its access log
records what each request really used, so every row proves its case. The
test is skipped when there is no nginx on PATH (Debian's package nginx puts
it in /usr/sbin).
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

from harness import (STUB_LIFETIME, StubController, openssl_pin, run,
                     wait_for, write_checks)

TIMEOUT = 60  # seconds for any one run
START_TIMEOUT = 30  # seconds for nginx to listen
BIG_REPLY = 4 << 20  # bytes

REPLIES = {
    "show_site.json": {"site": "Z\u00fcrich-Ost", "noise": "x" * 300,
                       "uplinks": [{"name": "a", "up": True, "mtu": 1500},
                                   {"name": "b", "up": False, "mtu": None}]},
    "list_gateways.json": ["gw-1", "gw 2"],
    "show_gateway@gateway_name=gw-1.json": {"state": "up"},
    "show_gateway@gateway_name=gw%202.json": {"state": "down"},
}
RULES = [
    # No Content-Length from the stand-in: nginx has to frame this reply
    # itself, chunked over HTTP/1.1.
    {"action": "list_gateways", "fault": "chunked"},
    {"action": "inventory", "generate": "list", "bytes": BIG_REPLY},
    {"action": "maintenance", "body": "<html>maintenance</html>",
     "content_type": "text/html"},
]
CHECK_DIRS = {
    "report": {
        "site.cfg": "[default]\ndescription = Site \u00e9tat\n"
                    "filters = site, uplinks\n"
                    "[orvantis]\naction = show_site\nname = east & west\n",
        "gateways.cfg": "[default]\ndescription = Every gateway\n"
                        "[orvantis]\naction = show_gateway\n"
                        "gateway_name = output(gateways)\n",
        "gateways": "[orvantis]\naction = list_gateways\n",
        "inventory.cfg": "[orvantis]\naction = inventory\n",
        "retired.cfg": "[orvantis]\naction = retired\n",  # answered 404
    },
    "failure": {"down.cfg": "[default]\ndescription = Maintenance page\n"
                            "[orvantis]\naction = maintenance\n"},
}

NGINX_CONF = """\
daemon off;
master_process off;
pid {dir}/nginx.pid;
error_log {dir}/error.log info;
events {{ worker_connections 64; }}
http {{
  client_body_temp_path {dir}/client_body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  log_format framing escape=json '{{"protocol": "$server_protocol", '
      '"tls": "$ssl_protocol", "encoding": "$sent_http_content_encoding", '
      '"transfer": "$sent_http_transfer_encoding", '
      '"connection": "$connection"}}';
  access_log {dir}/access.log framing;
  gzip {gzip};
  gzip_types application/json;
  gzip_proxied any;
  gzip_min_length 0;
  server {{
    listen 127.0.0.1:{port} ssl{http2};
    ssl_certificate {cert_dir}/cert.pem;
    ssl_certificate_key {cert_dir}/key.pem;
    ssl_protocols {tls};
    location / {{
      proxy_pass https://127.0.0.1:{stub_port};
      proxy_http_version 1.1;
      proxy_read_timeout {timeout}s;
    }}
  }}
}}
"""


class Nginx:
    """nginx in front of the stub on stub_port, as a context manager.

    http2, tls ("TLSv1.2" or "TLSv1.3") and gzip choose what it offers.
    .address is its 127.0.0.1:PORT; .framing() the access log lines.
    """

    def __init__(self, stub_port, cert_dir, http2, tls, gzip):
        self._settings = {"stub_port": stub_port, "cert_dir": cert_dir,
                          "http2": " http2" if http2 else "", "tls": tls,
                          "gzip": "on" if gzip else "off",
                          "timeout": TIMEOUT}
        self._proc = None
        self._tmp = None

    def __enter__(self):
        self._tmp = tempfile.mkdtemp(prefix="tarnwick-nginx.")
        try:
            # The free port is found first and bound by nginx afterwards;
            # another process may take it in between, so try again.
            for _ in range(3):
                if self._start(free_port()):
                    return self
            raise RuntimeError("nginx did not start: " +
                               self._log("error.log"))
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def _start(self, port):
        self.address = f"127.0.0.1:{port}"
        conf = os.path.join(self._tmp, "nginx.conf")
        with open(conf, "w", encoding="utf-8") as f:
            f.write(NGINX_CONF.format(dir=self._tmp, port=port,
                                      **self._settings))
        # timeout(1) ends nginx, like the stub, after STUB_LIFETIME seconds
        # even when this process dies first; -e keeps nginx from opening its
        # default error log before it reads conf.
        error_log = os.path.join(self._tmp, "error.log")
        self._proc = subprocess.Popen(
            ["timeout", "-k", "5", str(STUB_LIFETIME), "nginx", "-p",
             self._tmp, "-c", conf, "-e", error_log],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        # nginx writes its pid file once it has bound its port.
        pid_file = os.path.join(self._tmp, "nginx.pid")
        wait_for(lambda: self._proc.poll() is not None or
                 os.path.exists(pid_file), "nginx to start", START_TIMEOUT)
        if self._proc.poll() is None:
            return True
        self.stop()
        return False

    def _log(self, name):
        try:
            with open(os.path.join(self._tmp, name), encoding="utf-8",
                      errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def framing(self):
        """(protocol, TLS version, Content-Encoding, Transfer-Encoding) of
        every request served, in order; complete once stop() has returned."""
        return [(e["protocol"], e["tls"], e["encoding"], e["transfer"])
                for e in map(json.loads, self._log("access.log").splitlines())]

    def connections(self):
        """The connections that the requests served came on, each once;
        complete once stop() has returned."""
        return {json.loads(line)["connection"]
                for line in self._log("access.log").splitlines()}

    def stop(self):
        """Stops nginx gracefully: it logs every request it has served
        first. Killed when it takes longer than 10 s."""
        if self._proc is None:
            return
        try:
            if self._proc.poll() is None:
                os.killpg(self._proc.pid, signal.SIGQUIT)
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self._proc.pid, signal.SIGKILL)
            self._proc.wait(timeout=10)
        self._proc = None

    def __exit__(self, *exc):
        self.stop()
        if self._tmp is not None:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None
        return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def nginx_missing():
    """Why nginx cannot stand in front here, or None when it can."""
    if shutil.which("nginx") is None:
        return "no nginx on PATH (Debian package nginx, in /usr/sbin)"
    built = subprocess.run(["nginx", "-V"], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=30).stderr
    for module in ("http_ssl_module", "http_v2_module"):
        if "--with-" + module not in built:
            return f"nginx is built without {module}"
    return None


# name: (what nginx offers, the access log's (protocol, TLS version,
# Content-Encoding, Transfer-Encoding) over all requests)
ROWS = {
    "HTTP/2, TLS 1.3, gzip": (
        {"http2": True, "tls": "TLSv1.3", "gzip": True},
        {("HTTP/2.0", "TLSv1.3", "gzip", "")}),
    "HTTP/2, TLS 1.2": (
        {"http2": True, "tls": "TLSv1.2", "gzip": False},
        {("HTTP/2.0", "TLSv1.2", "", "")}),
    "HTTP/1.1, TLS 1.3, gzip, chunked": (
        {"http2": False, "tls": "TLSv1.3", "gzip": True},
        {("HTTP/1.1", "TLSv1.3", "gzip", "chunked")}),
    # Chunked only where the stand-in sent no length.
    "HTTP/1.1, TLS 1.2, chunked and sized": (
        {"http2": False, "tls": "TLSv1.2", "gzip": False},
        {("HTTP/1.1", "TLSv1.2", "", "chunked"),
         ("HTTP/1.1", "TLSv1.2", "", "")}),
}


def without_headers(requests):
    """The requests as the stand-in logged them, less the headers, which
    nginx rewrites (Host, Connection), and the connection they came on,
    which is nginx's own."""
    return [{k: v for k, v in r.items()
             if k not in ("headers", "connection", "tls_resumed")}
            for r in requests]


class BehindNginxTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        reason = nginx_missing()
        if reason:
            raise unittest.SkipTest(reason)
        tmp = cls.enterClassContext(
            tempfile.TemporaryDirectory(prefix="tarnwick-behind-nginx."))
        cls.cert_dir = os.path.join(tmp, "cert")
        # The same check directories for every run: error reports name them.
        cls.check_dirs = [str(write_checks(os.path.join(tmp, name), checks))
                          for name, checks in CHECK_DIRS.items()]
        # The stub makes the certificate that nginx uses too.
        with StubController(REPLIES, RULES,
                            ["--cert-dir", cls.cert_dir]) as stub:
            cls.straight = cls.run_all(stub.address)
            cls.straight_requests = without_headers(stub.requests())

    @classmethod
    def run_all(cls, address, *options):
        return [run(["--config_dir", d, "--controller_ip", address,
                     "--password", "pw", *options], timeout=TIMEOUT)
                for d in cls.check_dirs]

    def test_same_runs_as_straight(self):
        (status, out, err), failure = self.straight
        # What every row is held to: a whole report with the big reply in it,
        # and a run that ends in an error report.
        self.assertEqual((status, err), (0, ""))
        self.assertGreater(len(out), BIG_REPLY)
        self.assertIn("'object': 'gw 2'", out)
        self.assertNotEqual(failure[0], 0)
        self.assertIn("not JSON", failure[2])
        for name, (offer, framing) in ROWS.items():
            with self.subTest(name), StubController(REPLIES, RULES) as stub, \
                    Nginx(stub.port, self.cert_dir, **offer) as nginx:
                self.assertEqual(self.run_all(nginx.address), self.straight)
                self.assertEqual(without_headers(stub.requests()),
                                 self.straight_requests)
                nginx.stop()
                served = nginx.framing()
                self.assertEqual(len(served), len(self.straight_requests))
                self.assertEqual(set(served), framing)


    def test_kept_connections_one_per_run(self):
        # HTTP/2 by ALPN where nginx offers it, HTTP/1.1 keep-alive where
        # not: the same runs, each over one connection to nginx.
        for name in ("HTTP/2, TLS 1.3, gzip",
                     "HTTP/1.1, TLS 1.2, chunked and sized"):
            offer, framing = ROWS[name]
            with self.subTest(name), StubController(REPLIES, RULES) as stub, \
                    Nginx(stub.port, self.cert_dir, **offer) as nginx:
                self.assertEqual(
                    self.run_all(nginx.address, "--reuse-connections"),
                    self.straight)
                self.assertEqual(without_headers(stub.requests()),
                                 self.straight_requests)
                nginx.stop()
                self.assertEqual(set(nginx.framing()), framing)
                self.assertEqual(len(nginx.connections()),
                                 len(self.check_dirs))

    def test_in_flight_streams_over_one_connection(self):
        # The first gateway's reply waits at the stand-in until the second
        # gateway's request has come in: only requests side by side get it
        # answered, here as two streams of one HTTP/2 connection per run.
        go = os.path.join(self.enterContext(tempfile.TemporaryDirectory()),
                          "go")
        held = [{"action": "show_gateway",
                 "fields": {"gateway_name": "gw-1"}, "hold_until": go}]
        offer, framing = ROWS["HTTP/2, TLS 1.3, gzip"]
        with StubController(REPLIES, held + RULES) as stub, \
                Nginx(stub.port, self.cert_dir, **offer) as nginx:
            seen = []
            released = threading.Thread(target=self.release,
                                        args=(stub, go, seen))
            released.start()
            runs = self.run_all(nginx.address, "--in-flight", "8")
            released.join()
            self.assertEqual(seen, [True])
            self.assertEqual(runs, self.straight)
            # The same requests, in another order.
            fields = lambda rs: sorted(r["fields"] for r in rs)  # noqa: E731
            self.assertEqual(fields(stub.requests()),
                             fields(self.straight_requests))
            nginx.stop()
            self.assertEqual(set(nginx.framing()), framing)
            self.assertEqual(len(nginx.connections()), len(self.check_dirs))

    def test_pinned_key_over_every_connection(self):
        # nginx's key pinned: every connection passes, HTTP/2 streams side
        # by side included. Another key: each run ends at its first
        # handshake, before nginx has a request to pass on.
        pin = openssl_pin(os.path.join(self.cert_dir, "cert.pem"))
        wrong = "sha256//" + "A" * 43 + "="
        offer, _ = ROWS["HTTP/2, TLS 1.3, gzip"]
        with StubController(REPLIES, RULES) as stub, \
                Nginx(stub.port, self.cert_dir, **offer) as nginx:
            self.assertEqual(self.run_all(nginx.address, "--tls-pin",
                                          wrong + ";" + pin, "--in-flight",
                                          "8"), self.straight)
            sent = len(stub.requests())
            url = f"https://{nginx.address}/v1/api"
            refused = (1, "", f"tarnwick: connection error: the controller "
                       f"at '{url}' presented key {pin}, which matches no "
                       "--tls-pin; nothing was sent\n")
            self.assertEqual(self.run_all(nginx.address, "--tls-pin", wrong,
                                          "--keep-going"),
                             [refused] * len(self.check_dirs))
            self.assertEqual(len(stub.requests()), sent)
            nginx.stop()
            self.assertEqual(len(nginx.framing()), sent)

    @staticmethod
    def release(stub, go, seen):
        """Creates go once the stand-in has the second gateway's request,
        noting True in seen; or once the wait is over."""
        try:
            seen.append(wait_for(
                lambda: any(["gateway_name", "gw 2"] in r["fields"]
                            for r in stub.requests()),
                "the second gateway's request", TIMEOUT))
        finally:
            open(go, "w").close()


if __name__ == "__main__":
    unittest.main()
