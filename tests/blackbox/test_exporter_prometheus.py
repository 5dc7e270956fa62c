"""A real Prometheus server (Debian's prometheus) scraping tarnwick_exporter
through the multi-target relabelling of the manual, with targets from a
file_sd file, and answering probe_success through its query API. Skipped
where prometheus is not installed."""

import json
import shutil
import socket
import subprocess
import tempfile
import unittest
import urllib.parse
import urllib.request

from exporter_harness import (Exporter, auth_yaml, bcrypt_hash, config_yaml,
                              make_certificates, module_yaml)
from harness import StubController, wait_for

CHECKS = {"checks": {"a.cfg": "[orvantis]\naction = show_site\n"}}
REPLIES = {"show_site.json": {"site": "paris"}}

SCRAPE_CONFIG = """global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: tarnwick
    metrics_path: /probe
    params: {{module: [gw], auth: [site]}}
    file_sd_configs: [{{files: ['{targets}']}}]
    relabel_configs:
      - {{source_labels: [__address__], target_label: __param_target}}
      - {{source_labels: [__param_target], target_label: instance}}
      - {{target_label: __address__, replacement: 127.0.0.1:{port}}}
"""

# The exporter's own metrics over TLS with a client certificate and basic
# authentication (tests/blackbox/test_exporter_web.py for the rest).
SECURE_SCRAPE_CONFIG = """global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: exporter
    scheme: https
    basic_auth: {{username: prom, password: s3cret}}
    tls_config:
      ca_file: {dir}/ca.crt
      cert_file: {dir}/client.crt
      key_file: {dir}/client.key
    static_configs: [{{targets: ['127.0.0.1:{port}']}}]
"""

WEB_CONFIG = """tls_server_config:
  cert_file: server.crt
  key_file: server.key
  client_auth_type: RequireAndVerifyClientCert
  client_ca_file: ca.crt
basic_auth_users:
  prom: '{hash}'
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrometheusTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prometheus = shutil.which("prometheus")
        if cls.prometheus is None:
            raise unittest.SkipTest("prometheus is not installed")

    def query(self, port, expression):
        url = (f"http://127.0.0.1:{port}/api/v1/query?" +
               urllib.parse.urlencode({"query": expression}))
        with urllib.request.urlopen(url, timeout=10) as reply:
            return json.load(reply)["data"]["result"]

    def run_prometheus(self, tmp, config, condition):
        """Runs Prometheus with config until condition(port) is true."""
        with open(f"{tmp}/prometheus.yml", "w") as f:
            f.write(config)
        port = free_port()
        with open(f"{tmp}/prometheus.log", "wb") as log:
            server = subprocess.Popen(
                [self.prometheus, f"--config.file={tmp}/prometheus.yml",
                 f"--storage.tsdb.path={tmp}/data",
                 f"--web.listen-address=127.0.0.1:{port}"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                start_new_session=True)
            try:
                def met():
                    try:
                        return condition(port)
                    except OSError:
                        return None
                return wait_for(met, "prometheus", 60)
            finally:
                server.terminate()
                server.wait(timeout=30)

    def test_prometheus_scrapes_over_tls_with_basic_auth(self):
        with tempfile.TemporaryDirectory(prefix="tarnwick-prom.") as tmp:
            certs = make_certificates(tmp)
            web = WEB_CONFIG.format(hash=bcrypt_hash("s3cret"))
            config = config_yaml([module_yaml("gw", "checks")],
                                 [auth_yaml("site", '["127.0.0.1"]')])
            with Exporter(config, CHECKS,
                          files=dict(certs, **{"web.yml": web}),
                          args=["--web.config.file=web.yml"]) as exporter:
                up = self.run_prometheus(
                    tmp, SECURE_SCRAPE_CONFIG.format(dir=tmp,
                                                     port=exporter.port),
                    lambda port: self.query(port, 'up{job="exporter"}'))
        self.assertEqual(up[0]["value"][1], "1")

    def test_prometheus_scrapes_through_the_relabelling(self):
        config = config_yaml([module_yaml("gw", "checks")],
                             [auth_yaml("site", '["127.0.0.1"]')])
        with StubController(REPLIES) as stub, \
                Exporter(config, CHECKS) as exporter, \
                tempfile.TemporaryDirectory(prefix="tarnwick-prom.") as tmp:
            targets = f"{tmp}/controllers.yml"
            with open(targets, "w") as f:
                f.write(f"- targets: ['{stub.address}']\n")
            with open(f"{tmp}/prometheus.yml", "w") as f:
                f.write(SCRAPE_CONFIG.format(targets=targets,
                                             port=exporter.port))
            port = free_port()
            with open(f"{tmp}/prometheus.log", "wb") as log:
                server = subprocess.Popen(
                    [self.prometheus, f"--config.file={tmp}/prometheus.yml",
                     f"--storage.tsdb.path={tmp}/data",
                     f"--web.listen-address=127.0.0.1:{port}"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    start_new_session=True)
                try:
                    def probe_success():
                        try:
                            return self.query(
                                port, f'probe_success{{instance="'
                                f'{stub.address}",job="tarnwick"}}')
                        except OSError:
                            return None
                    result = wait_for(probe_success, "probe_success", 60)
                    self.assertEqual(result[0]["value"][1], "1")
                    status = self.query(port, "tarnwick_check_status")
                    self.assertEqual(status[0]["metric"]["check"], "a.cfg")
                    self.assertNotIn("controller", status[0]["metric"])
                    self.assertEqual(self.query(port, "up")[0]["value"][1],
                                     "1")
                finally:
                    server.terminate()
                    server.wait(timeout=30)
            self.assertIn("login", str(stub.requests()))


if __name__ == "__main__":
    unittest.main()
