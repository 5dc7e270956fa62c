"""A real Prometheus server (Debian's prometheus) for the black-box tests:
started on a free loopback port with a configuration, asked through its
query API, and a test case that is skipped where prometheus is not
installed."""

import contextlib
import json
import pathlib
import shutil
import socket
import subprocess
import unittest
import urllib.parse
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def prometheus(binary, directory, config):
    """A Prometheus server with config in directory (made when missing);
    yields its port."""
    directory = pathlib.Path(directory)
    directory.mkdir(exist_ok=True)
    (directory / "prometheus.yml").write_text(config)
    port = free_port()
    with open(directory / "prometheus.log", "wb") as log:
        server = subprocess.Popen(
            [binary, f"--config.file={directory}/prometheus.yml",
             f"--storage.tsdb.path={directory}/data",
             f"--web.listen-address=127.0.0.1:{port}"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            start_new_session=True)
        try:
            yield port
        finally:
            server.terminate()
            server.wait(timeout=30)


def query(port, expression):
    """The result of an instant query."""
    url = (f"http://127.0.0.1:{port}/api/v1/query?" +
           urllib.parse.urlencode({"query": expression}))
    with urllib.request.urlopen(url, timeout=10) as reply:
        return json.load(reply)["data"]["result"]


def answered(ask):
    """ask(), or None while the server does not answer yet."""
    try:
        return ask()
    except OSError:
        return None


class PrometheusTestCase(unittest.TestCase):
    """Skipped where prometheus is not installed; self.prometheus is it."""

    @classmethod
    def setUpClass(cls):
        cls.prometheus = shutil.which("prometheus")
        if cls.prometheus is None:
            raise unittest.SkipTest("prometheus is not installed")
