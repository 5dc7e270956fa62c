"""tools/latency_proxy.py, which the benchmarks put between tarnwick and the
stand-in controller: it relays every byte, costs a request on a new
connection at least three round trips (connect, TLS, the request) and one on
a kept connection at least one, counts the connections, and stops by itself.
"""

import re
import subprocess
import sys
import unittest

from harness import SOURCE_DIR, StubController, run, write_checks

PROXY = SOURCE_DIR / "tools" / "latency_proxy.py"
RTT = 0.1  # seconds
CHECKS = {"a.cfg": "[orvantis]\naction = show\n"}


class LatencyProxyTest(unittest.TestCase):

    def test_relays_delays_counts_and_stops_by_itself(self):
        with StubController({"show.json": {"up": True}}) as stub:
            proxy = subprocess.Popen(
                [sys.executable, str(PROXY), "--target", str(stub.port),
                 "--rtt", str(RTT * 1000), "--idle", "1", "--lifetime", "60"],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
            try:
                port = re.match(r"listening on 127\.0\.0\.1:(\d+)$",
                                proxy.stdout.readline()).group(1)
                checks = write_checks(stub.dir / "checks", CHECKS)
                results = [run(["--config_dir", checks, "--controller_ip",
                                "127.0.0.1:" + port, "--password", "x",
                                "--verbose", *options])
                           for options in ([], ["--reuse-connections"])]
                out, _ = proxy.communicate(timeout=30)
            finally:
                if proxy.poll() is None:
                    proxy.kill()
                    proxy.wait()
            requests = stub.requests()
        for status, report, _ in results:
            self.assertEqual((status, report), (0, "{'up': True}\n\n\n"))
        self.assertEqual(out, "connections: %d\n" %
                         len({r["connection"] for r in requests}))
        self.assertEqual(len(requests), 6)
        # The seconds of each request, from the --verbose lines.
        times = [[float(s) for s in re.findall(r", (\d+\.\d+) s", err)]
                 for _, _, err in results]
        self.assertTrue(all(t >= 3 * RTT for t in times[0]), times)
        self.assertGreaterEqual(times[1][0], 3 * RTT)
        self.assertTrue(all(t >= RTT for t in times[1][1:]), times)


if __name__ == "__main__":
    unittest.main()
