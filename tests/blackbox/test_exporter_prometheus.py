"""A real Prometheus server (Debian's prometheus) scraping tarnwick_exporter
through the multi-target relabelling of the manual, with targets from a
file_sd file, and answering probe_success through its query API. Skipped
where prometheus is not installed."""

import tempfile
import unittest

from exporter_harness import (Exporter, auth_yaml, bcrypt_hash, config_yaml,
                              make_certificates, module_yaml)
from harness import StubController, wait_for
from prometheus_harness import (PrometheusTestCase, answered, prometheus,
                                query)

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


class PrometheusTest(PrometheusTestCase):
    def run_prometheus(self, tmp, config, condition):
        """Runs Prometheus with config until condition(port) is true."""
        with prometheus(self.prometheus, tmp, config) as port:
            return wait_for(lambda: answered(lambda: condition(port)),
                            "prometheus", 60)

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
                    lambda port: query(port, 'up{job="exporter"}'))
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
            config = SCRAPE_CONFIG.format(targets=targets,
                                          port=exporter.port)
            with prometheus(self.prometheus, tmp, config) as port:
                result = wait_for(lambda: answered(lambda: query(
                    port, f'probe_success{{instance="{stub.address}",'
                    'job="tarnwick"}')), "probe_success", 60)
                self.assertEqual(result[0]["value"][1], "1")
                status = query(port, "tarnwick_check_status")
                self.assertEqual(status[0]["metric"]["check"], "a.cfg")
                self.assertNotIn("controller", status[0]["metric"])
                self.assertEqual(query(port, "up")[0]["value"][1], "1")
            self.assertIn("login", str(stub.requests()))


if __name__ == "__main__":
    unittest.main()
