"""Two Prometheus servers sharing ten controllers by the hashmod
relabelling of tarnwick_exporter(1), PROMETHEUS, both scraping one
exporter: through their query APIs, each controller is probed by exactly
the server its hash names and all ten are probed. Skipped where prometheus
is not installed."""

import contextlib
import hashlib
import pathlib
import tempfile
import unittest

from exporter_harness import Exporter, auth_yaml, config_yaml, module_yaml
from harness import StubController, wait_for
from prometheus_harness import PrometheusTestCase, prometheus, query

CONTROLLERS = 10
CHECKS = {"checks": {"a.cfg": "[orvantis]\naction = show_site\n"}}
REPLIES = {"show_site.json": {"site": "paris"}}

# The relabelling of the manual, with short intervals.
SCRAPE_CONFIG = """global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: tarnwick
    metrics_path: /probe
    params: {{module: [gw], auth: [site]}}
    file_sd_configs: [{{files: ['{targets}']}}]
    relabel_configs:
      - {{source_labels: [__address__], modulus: 2,
          target_label: __tmp_hash, action: hashmod}}
      - {{source_labels: [__tmp_hash], regex: '{shard}', action: keep}}
      - {{source_labels: [__address__], target_label: __param_target}}
      - {{source_labels: [__param_target], target_label: instance}}
      - {{source_labels: [__param_module], target_label: module}}
      - {{target_label: __address__, replacement: 127.0.0.1:{port}}}
"""


def shard_of(address):
    """Prometheus's hashmod: the last 8 bytes of the MD5 of the value, big
    endian, modulo the modulus."""
    digest = hashlib.md5(address.encode()).digest()
    return int.from_bytes(digest[8:], "big") % 2


class ShardingTest(PrometheusTestCase):
    def test_each_controller_is_probed_by_the_server_of_its_hash(self):
        config = config_yaml([module_yaml("gw", "checks")],
                             [auth_yaml("site", '["127.0.0.1"]')])
        with contextlib.ExitStack() as stack:
            tmp = stack.enter_context(
                tempfile.TemporaryDirectory(prefix="tarnwick-shard."))
            # One certificate for all the stubs: made once.
            stubs = [stack.enter_context(StubController(
                REPLIES, args=["--cert-dir", f"{tmp}/cert"]))
                for _ in range(CONTROLLERS)]
            exporter = stack.enter_context(Exporter(config, CHECKS))
            targets = f"{tmp}/controllers.yml"
            with open(targets, "w") as f:
                f.write("- targets: [" +
                        ", ".join(f"'{s.address}'" for s in stubs) + "]\n")
            ports = [stack.enter_context(prometheus(
                self.prometheus, pathlib.Path(tmp) / f"shard{shard}",
                SCRAPE_CONFIG.format(targets=targets, shard=shard,
                                     port=exporter.port)))
                for shard in (0, 1)]

            def probed():
                """{address: [(server, probe_success)]} over both
                servers, once all ten have an answer."""
                found = {}
                for shard, port in enumerate(ports):
                    try:
                        result = query(
                            port, 'probe_success{job="tarnwick",module="gw"}')
                    except OSError:
                        return None
                    for sample in result:
                        found.setdefault(sample["metric"]["instance"],
                                         []).append(
                            (shard, sample["value"][1]))
                return len(found) == CONTROLLERS and found

            found = wait_for(probed, "probe_success of every controller", 60)
            expected = {s.address: [(shard_of(s.address), "1")]
                        for s in stubs}
            self.assertEqual(found, expected)
            for stub in stubs:
                self.assertIn("login", str(stub.requests()))


if __name__ == "__main__":
    unittest.main()
