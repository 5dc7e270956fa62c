"""--in-flight N end to end against the stand-in controller (HTTP/1.1): a
compound check's element requests side by side give the report, the failure
and the partial records of the run that sends them one after another; they
are N in flight at once, over N connections at most; and an interruption
names the requests in flight.
"""

import os
import signal
import subprocess
import tempfile
import threading
import unittest

from harness import StubController, clean_env, run, tarnwick_bin, wait_for
from harness import write_checks

TIMEOUT = 60  # seconds for any one run
N = 8
NAMES = ["gw-%02d" % i for i in range(40)]
CHECKS = {
    "gateways.cfg": "[default]\ndescription = every gateway\n"
                    "[orvantis]\naction = show\nname = output(names)\n",
    "names": "[orvantis]\naction = list\n",
}
# Replies from 30 bytes to 300 kB, in no order.
SIZES = [20, 3000, 300000, 100, 40000, 7, 120000, 900]
REPLIES = {"list.json": NAMES, **{
    "show@name=%s.json" % name: {"name": name, "pad": "x" * SIZES[i % 8]}
    for i, name in enumerate(NAMES)}}
# Every third reply comes late, one of them much later.
DELAYS = [{"action": "show", "fields": {"name": name},
           "delay": 0.3 if i == 3 else 0.05}
          for i, name in enumerate(NAMES) if i % 3 == 0]
# Elements 1 to 7 are answered late, element 6 with a failure; element 8
# fails at once, while the seven before it are in flight. One after another,
# element 6 fails first.
FAILURES = [
    {"action": "show", "fields": {"name": "gw-05"}, "delay": 0.4,
     "status": 503, "json": {"error": "busy"}},
    {"action": "show", "fields": {"name": "gw-07"}, "status": 500,
     "body": "<html>oops</html>", "content_type": "text/html"},
] + [{"action": "show", "fields": {"name": name}, "delay": 0.4}
     for name in NAMES[:7]]


def shows(requests):
    return [r for r in requests if r["action"] == "show"]


class InFlightTest(unittest.TestCase):

    def run_against(self, stub, *options):
        checks = write_checks(stub.dir / "checks", CHECKS)
        return run(["--config_dir", checks, "--controller_ip", stub.address,
                    "--password", "pw", *options], timeout=TIMEOUT)

    def test_same_report_with_n_in_flight_over_n_connections(self):
        go = os.path.join(self.enterContext(tempfile.TemporaryDirectory()),
                          "go")
        # The first element's reply waits until N element requests have come
        # in: only N side by side get it answered.
        held = [{"action": "show", "fields": {"name": "gw-00"},
                 "hold_until": go}]
        with StubController(REPLIES, held + DELAYS) as stub:
            open(go, "w").close()
            metrics = [os.path.join(os.path.dirname(go), "%s.prom" % n)
                       for n in ("plain", "side")]
            plain = self.run_against(stub, "--metrics", metrics[0])
            plain_requests = stub.requests()
            os.remove(go)
            seen = []

            def release():
                try:
                    seen.append(wait_for(
                        lambda: len(shows(stub.requests()[len(
                            plain_requests):])) >= N or None,
                        "N element requests", TIMEOUT))
                finally:
                    open(go, "w").close()

            watcher = threading.Thread(target=release)
            watcher.start()
            side_by_side = self.run_against(stub, "--in-flight", str(N),
                                            "--metrics", metrics[1])
            watcher.join()
            requests = stub.requests()[len(plain_requests):]
        self.assertEqual(plain[0], 0, plain)
        self.assertGreater(len(plain[1]), sum(SIZES) * 5)
        self.assertEqual(side_by_side, plain)
        self.assertEqual(seen, [True])
        fields = lambda rs: sorted(  # noqa: E731
            [f for f in r["fields"] if f[0] != "CID"] for r in rs)
        self.assertEqual(fields(requests), fields(plain_requests))
        self.assertEqual(len({r["connection"] for r in requests}), N)
        # The run's traffic is counted alike.
        traffic = [sorted(line for line in open(m).read().splitlines()
                          if line.startswith(("tarnwick_run_requests",
                                              "tarnwick_run_reply_bytes")))
                   for m in metrics]
        self.assertEqual(len(traffic[0]), 2)
        self.assertEqual(traffic[1], traffic[0])

    def test_failures_come_to_what_they_come_to_one_after_another(self):
        # name: (options, the elements whose requests are sent). Without
        # --keep-going no request is sent once element 8 has failed, which
        # it does while the seven before it are in flight.
        rows = {
            "the first failing element fails the check": (
                ["--fail-http"], NAMES[:N]),
            "--keep-going keeps the same records": (
                ["--fail-http", "--keep-going"], NAMES),
            "--keep-going with --json": (
                ["--fail-http", "--keep-going", "--json"], NAMES),
        }
        with StubController(REPLIES, FAILURES) as stub:
            for name, (options, sent) in rows.items():
                with self.subTest(name):
                    plain = self.run_against(stub, *options)
                    before = len(stub.requests())
                    side_by_side = self.run_against(stub, "--in-flight",
                                                    str(N), *options)
                    self.assertEqual(plain[0], 1)
                    self.assertIn("element 6 of 40 'gw-05'", plain[2])
                    self.assertEqual(side_by_side, plain)
                    self.assertEqual(
                        sorted(dict(r["fields"])["name"] for r in
                               shows(stub.requests()[before:])), sent)

    def test_interruption_names_the_requests_in_flight(self):
        hang = [{"action": "show", "fault": "hang"}]
        with StubController(REPLIES, hang) as stub:
            checks = write_checks(stub.dir / "checks", CHECKS)
            proc = subprocess.Popen(
                [tarnwick_bin(), "--config_dir", str(checks),
                 "--controller_ip", stub.address, "--password", "pw",
                 "--in-flight", "4"],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=clean_env(),
                start_new_session=True)
            try:
                wait_for(lambda: len(shows(stub.requests())) == 4,
                         "four element requests", TIMEOUT)
                proc.send_signal(signal.SIGINT)
                out, err = proc.communicate(timeout=TIMEOUT)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.communicate()
        self.assertEqual((proc.returncode, out), (130, b"every gateway\n"))
        self.assertEqual(err.decode(), (
            "tarnwick: interrupted: stopped by SIGINT while waiting for "
            "'https://%s/v1/api' (in %s/gateways.cfg, element 'gw-00') and "
            "3 more requests\n" % (stub.address, checks)))


if __name__ == "__main__":
    unittest.main()
