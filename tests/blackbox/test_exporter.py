"""tarnwick_exporter against stand-in controllers on loopback: probes that
hold and fail, connections kept from probe to probe, what is refused before
anything is sent, one login per probe, shared and repeated answers, the
scrape's deadline, reloads, the debug trace without secrets. Every
text-format answer goes through promtool where it is installed."""

import pathlib
import signal
import tempfile
import threading
import time
import unittest

from exporter_harness import (PASSWORD, Exporter, auth_yaml, check_metrics,
                              config_yaml, module_yaml, parse_metrics,
                              run_exporter)
from harness import StubController, openssl_pin, wait_for

CHECKS = {"checks": {
    "a.cfg": "[default]\ndescription = gateways\n"
             "[orvantis]\naction = list_gateways\n"
             "[expect]\nall_up = gateways[*].state == up\n",
    "b.cfg": "[orvantis]\naction = show_site\n",
}}
REPLIES = {
    "list_gateways.json": {"gateways": [{"name": "gw-1", "state": "up"},
                                        {"name": "gw-2", "state": "down"}]},
    "show_site.json": {"site": "paris"},
}


def simple_config(**module_keys):
    return config_yaml([module_yaml("gw", "checks", **module_keys)],
                       [auth_yaml("site", '["127.0.0.0/8"]')])


def actions(stub):
    return [r["action"] for r in stub.requests()]


class ExporterTest(unittest.TestCase):
    def setUp(self):
        # Where the stand-in's held replies wait for a file to appear.
        self.holds = tempfile.TemporaryDirectory(prefix="tarnwick-holds.")
        self.release = pathlib.Path(self.holds.name) / "release"

    def tearDown(self):
        self.release.touch()
        self.holds.cleanup()

    def probe(self, exporter, headers=None, **query):
        status, reply_headers, body = exporter.get("/probe", headers=headers,
                                                   **query)
        if status == 200 and query.get("debug") != "true":
            self.assertTrue(reply_headers["Content-Type"].startswith(
                "text/plain; version=0.0.4"))
            check_metrics(self, body)
        return status, body

    def test_a_probe_that_holds_logs_in_once(self):
        with StubController(REPLIES) as stub, \
                Exporter(simple_config(), CHECKS) as exporter:
            status, body = self.probe(exporter, target=stub.address)
            self.assertEqual(status, 200, body)
            m = parse_metrics(body)
            self.assertEqual(m["probe_success"], 1)
            self.assertEqual(m["tarnwick_probe_cached"], 0)
            self.assertEqual(m['tarnwick_check_status{check="a.cfg"}'], 0)
            self.assertEqual(m['tarnwick_check_status{check="b.cfg"}'], 0)
            self.assertEqual(m["tarnwick_run_requests"], 3)
            self.assertNotIn("controller=", body)
            self.assertNotIn("tarnwick_probe_failure_info", body)
            # One session for the whole probe.
            self.assertEqual(sorted(actions(stub)),
                             ["list_gateways", "login", "show_site"])
            cids = {dict(r["fields"]).get("CID") for r in stub.requests()
                    if r["action"] != "login"}
            self.assertEqual(len(cids), 1)
            # With login_per_check each check logs in for itself.
        with StubController(REPLIES) as stub, \
                Exporter(simple_config(login_per_check="true"),
                         CHECKS) as exporter:
            status, body = self.probe(exporter, target=stub.address)
            self.assertEqual(parse_metrics(body)["probe_success"], 1)
            self.assertEqual(actions(stub).count("login"), 2)

    def test_a_failed_check_and_a_failed_expectation(self):
        rules = [{"action": "show_site", "body": "<html>", "status": 502}]
        with StubController(REPLIES, rules) as stub, \
                Exporter(simple_config(expect="true"), CHECKS) as exporter:
            status, body = self.probe(exporter, target=stub.address)
            self.assertEqual(status, 200)
            m = parse_metrics(body)
            self.assertEqual(m["probe_success"], 0)
            self.assertEqual(m['tarnwick_probe_failure_info{kind="invalid '
                               'reply",check="b.cfg"}'], 1)
            self.assertEqual(m['tarnwick_check_status{check="b.cfg"}'], 2)
            # The expectation is a verdict, not a failure of the probe.
            self.assertEqual(m['tarnwick_check_status{check="a.cfg"}'], 1)
            self.assertEqual(m['tarnwick_expectation_holds{check="a.cfg",'
                               'expectation="all_up"}'], 0)
        with StubController(REPLIES) as stub, \
                Exporter(simple_config(expect="true"), CHECKS) as exporter:
            m = parse_metrics(self.probe(exporter, target=stub.address)[1])
            self.assertEqual(m["probe_success"], 1)
            self.assertEqual(m['tarnwick_check_status{check="a.cfg"}'], 1)
        # A failed login ends the probe: no check runs.
        rules = [{"action": "login", "json": {"error": "bad credentials"}}]
        with StubController(REPLIES, rules) as stub, \
                Exporter(simple_config(), CHECKS) as exporter:
            m = parse_metrics(self.probe(exporter, target=stub.address)[1])
            self.assertEqual(m["probe_success"], 0)
            self.assertEqual(
                m['tarnwick_probe_failure_info{kind="login failed",check=""}'],
                1)
            self.assertEqual(actions(stub), ["login"])

    def test_an_auths_pin_guards_its_password(self):
        # The stand-in's key against a pin it does not match, then its own.
        with tempfile.TemporaryDirectory(prefix="tarnwick-cert.") as certs:
            for pin, success in [("sha256//" + "A" * 43 + "=", 0),
                                 (None, 1)]:
                with StubController(REPLIES, None,
                                    ["--cert-dir", certs]) as stub:
                    config = config_yaml(
                        [module_yaml("gw", "checks")],
                        [auth_yaml("site", '["127.0.0.0/8"]',
                                   insecure_skip_verify="false",
                                   tls_pin=pin or openssl_pin(
                                       pathlib.Path(certs) / "cert.pem"))])
                    with Exporter(config, CHECKS) as exporter:
                        m = parse_metrics(
                            self.probe(exporter, target=stub.address)[1])
                    self.assertEqual(m["probe_success"], success)
                    if not success:
                        self.assertEqual(stub.requests(), [])
                        self.assertEqual(m['tarnwick_probe_failure_info'
                                           '{kind="connection error",'
                                           'check=""}'], 1)

    def test_keep_connections_carries_them_from_probe_to_probe(self):
        # name: (auth keys, module keys, between the two probes, {connection:
        # whether its TLS handshake resumed a session} as the stand-in
        # logged them)
        keep = {"keep_connections": "true"}
        rows = {
            "kept": (keep, {}, None, {1: False}),
            "kept within a probe only": ({}, {"in_flight": "2"}, None,
                                         {1: False, 2: False}),
            "idle past the bound": (keep, {}, "wait", {1: False, 2: True}),
            "under a pin since a reload": (keep, {}, "pin",
                                           {1: False, 2: False}),
        }
        with tempfile.TemporaryDirectory(prefix="tarnwick-cert.") as certs:
            for name, (auth, module, between, opened) in rows.items():
                with self.subTest(name), StubController(
                        REPLIES, None, ["--cert-dir", certs]) as stub:
                    config = config_yaml(
                        [module_yaml("gw", "checks", **module)],
                        [auth_yaml("site", '["127.0.0.0/8"]', **auth)])
                    with Exporter(config, CHECKS,
                                  ["--web.enable-lifecycle"]) as exporter:
                        self.probe(exporter, target=stub.address)
                        if between == "wait":
                            time.sleep(4.2)  # connections idle 4 s are not used
                        if between == "pin":
                            pin = openssl_pin(pathlib.Path(certs) /
                                              "cert.pem")
                            exporter.config_path.write_text(config.replace(
                                "insecure_skip_verify: true",
                                "tls_pin: " + pin))
                            self.assertEqual(exporter.request(
                                "/-/reload", method="POST")[0], 200)
                        m = parse_metrics(
                            self.probe(exporter, target=stub.address)[1])
                    self.assertEqual(m["probe_success"], 1)
                    self.assertEqual(len(stub.requests()), 6)
                    self.assertEqual({r["connection"]: r["tls_resumed"]
                                      for r in stub.requests()}, opened)

    def test_refusals_send_nothing(self):
        config = config_yaml(
            [module_yaml("gw", "checks"), module_yaml("other", "checks")],
            [auth_yaml("site", '["127.0.0.0/8", "ctrl.example.net:8443"]'),
             auth_yaml("fleet", '["127.0.0.1"]',
                       insecure_skip_verify="false",
                       tls_pins_file="pins.txt")])
        pins = {"pins.txt": "127.0.0.2 sha256//" + "A" * 43 + "=\n"}
        with StubController(REPLIES) as stub, \
                Exporter(config, CHECKS, files=pins) as exporter:
            ok = {"module": "gw", "auth": "site"}
            cases = [
                (dict(ok), 400, "missing parameter 'target'"),
                (dict(ok, target="10.1"), 400, "strict form"),
                (dict(ok, target="0x7f000001"), 400, "strict form"),
                (dict(ok, target="https://127.0.0.1/"), 400, ""),
                (dict(target="127.0.0.1", auth="site"), 400,
                 "missing parameter 'module': one of gw, other"),
                (dict(ok, target="127.0.0.1", module="x"), 400,
                 "unknown module 'x'"),
                (dict(ok, target="127.0.0.1", auth="x"), 400,
                 "unknown auth 'x'"),
                (dict(ok, target="localhost"), 403, "not among the targets"),
                (dict(ok, target="ctrl.example.net"), 403, ""),
                (dict(ok, target="CTRL.example.net.:8443", debug="x"), 400,
                 "debug"),
                (dict(ok, target="10.0.0.1"), 403, ""),
                (dict(ok, target="[::1]"), 403, ""),
                (dict(module="gw", auth="fleet", target="127.0.0.1"), 403,
                 "has no pin"),
            ]
            for query, want, reason in cases:
                status, body = self.probe(exporter, **query)
                self.assertEqual(status, want, (query, body))
                self.assertIn(reason, body)
            status, body = self.probe(
                exporter, target=stub.address,
                headers={"X-Prometheus-Scrape-Timeout-Seconds": "soon"}, **ok)
            self.assertEqual(status, 400)
            self.assertEqual(stub.requests(), [])
            status, _, body = exporter.get("/metrics")
            m = parse_metrics(body)
            self.assertEqual(m['tarnwick_exporter_refusals_total'
                               '{reason="target_not_allowed"}'], 5)

    def test_busy_answers_503(self):
        with StubController(REPLIES, [{"action": "login",
                                       "hold_until": str(self.release)}]) \
                as stub, \
                Exporter(simple_config(), CHECKS,
                         ["--probes.max-in-flight=1"]) as exporter:
            held = threading.Thread(target=self.probe, args=(exporter,),
                                    kwargs={"target": stub.address})
            held.start()
            wait_for(lambda: stub.requests(), "the held login", 10)
            status, body = self.probe(exporter, target="127.0.0.2:1")
            self.assertEqual(status, 503, body)
            self.release.touch()
            held.join(30)
            m = parse_metrics(exporter.get("/metrics")[2])
            self.assertEqual(
                m['tarnwick_exporter_refusals_total{reason="max_in_flight"}'],
                1)

    def test_overlapping_scrapes_share_a_run_and_min_interval_answers(self):
        rules = [{"action": "login", "hold_until": str(self.release),
                  "nth": 1}]
        with StubController(REPLIES, rules) as stub, \
                Exporter(simple_config(min_interval="3s"), CHECKS) as exp:
            answers = []
            scrapes = [threading.Thread(
                target=lambda: answers.append(
                    self.probe(exp, target=stub.address)[1]))
                for _ in range(2)]
            scrapes[0].start()
            wait_for(lambda: stub.requests(), "the held login", 10)
            scrapes[1].start()
            wait_for(lambda: connections_to(exp.port) >= 2,
                     "the second scrape", 10)
            time.sleep(0.3)  # for it to be read and join the run
            self.release.touch()
            for scrape in scrapes:
                scrape.join(30)
            self.assertEqual(len(answers), 2)
            self.assertEqual(actions(stub).count("login"), 1)
            for answer in answers:
                self.assertEqual(parse_metrics(answer)["probe_success"], 1)
            # Within min_interval: the last answer again, nothing sent.
            sent = len(stub.requests())
            m = parse_metrics(self.probe(exp, target=stub.address)[1])
            self.assertEqual(m["tarnwick_probe_cached"], 1)
            self.assertEqual(len(stub.requests()), sent)
            # debug=true always runs afresh.
            self.probe(exp, target=stub.address, debug="true")
            self.assertEqual(actions(stub).count("login"), 2)
            m = parse_metrics(exp.get("/metrics")[2])
            self.assertEqual(m['tarnwick_exporter_shared_answers_total'
                               '{module="gw",how="joined"}'], 1)
            self.assertEqual(m['tarnwick_exporter_shared_answers_total'
                               '{module="gw",how="cached"}'], 1)

    def test_the_scrape_deadline_ends_a_stalled_probe(self):
        rules = [{"action": "show_site", "fault": "hang", "nth": 1}]
        with StubController(REPLIES, rules) as stub, \
                Exporter(simple_config(), CHECKS) as exporter:
            start = time.monotonic()
            status, body = self.probe(
                exporter, target=stub.address,
                headers={"X-Prometheus-Scrape-Timeout-Seconds": "2"})
            took = time.monotonic() - start
            # 2 s less the offset of 0.5 s.
            self.assertLess(took, 1.5 + 0.2, body)
            self.assertGreater(took, 1.4, body)
            m = parse_metrics(body)
            self.assertEqual(m["probe_success"], 0)
            self.assertEqual(
                m['tarnwick_probe_failure_info{kind="timeout",check="b.cfg"}'],
                1)
            # The stalled connection is closed, the next probe is fine.
            wait_for(lambda: connections_to(stub.port) == 0,
                     "the stalled connection to close", 5)
            status, body = self.probe(exporter, target=stub.address)
            self.assertEqual(parse_metrics(body)["probe_success"], 1)

    def test_reload_keeps_a_good_configuration(self):
        with StubController(REPLIES) as stub, \
                Exporter(simple_config(), CHECKS,
                         ["--web.enable-lifecycle"]) as exporter:
            good = exporter.config_path.read_text()
            exporter.config_path.write_text(good + "  oops: [\n")
            status, _, body = exporter.request("/-/reload", method="POST")
            self.assertEqual(status, 500, body)
            self.assertRegex(exporter.log(), r"level=error msg=\"\S*"
                             r"tarnwick_exporter.yml:\d+: ")
            m = parse_metrics(exporter.get("/metrics")[2])
            self.assertEqual(
                m["tarnwick_exporter_config_last_reload_successful"], 0)
            # The old configuration still serves, and SIGHUP reads the file
            # as well.
            exporter.signal(signal.SIGHUP)
            wait_for(lambda: exporter.log().count("why=SIGHUP") == 2,
                     "the reload by SIGHUP", 10)
            status, body = self.probe(exporter, target=stub.address)
            self.assertEqual(parse_metrics(body)["probe_success"], 1)
            exporter.config_path.write_text(good.replace("gw:", "renamed:"))
            self.assertEqual(
                exporter.request("/-/reload", method="POST")[0], 200)
            self.assertEqual(self.probe(exporter, target=stub.address,
                                        module="gw")[0], 400)
            self.assertEqual(self.probe(exporter, target=stub.address,
                                        module="renamed")[0], 200)
            m = parse_metrics(exporter.get("/metrics")[2])
            self.assertEqual(
                m["tarnwick_exporter_config_last_reload_successful"], 1)
            self.assertEqual(exporter.stop(), 0)
        # Without --web.enable-lifecycle the endpoint is refused.
        with Exporter(simple_config(), CHECKS) as exporter:
            self.assertEqual(
                exporter.request("/-/reload", method="POST")[0], 403)

    def test_debug_shows_the_trace_without_secrets(self):
        cid = "cid-Zq81-secret"
        rules = [{"action": "login", "json": {"CID": cid}},
                 {"action": "show_site", "status": 500,
                  "body": f"fail {cid} {PASSWORD} end"}]
        with StubController(REPLIES, rules) as stub, \
                Exporter(simple_config(), CHECKS) as exporter:
            status, body = self.probe(exporter, target=stub.address,
                                      debug="true")
            self.assertEqual(status, 200)
            self.assertIn("[tarnwick] login: HTTP 200", body)
            self.assertIn("tarnwick: invalid reply: ", body)
            self.assertIn("probe_success 0\n", body)
            for text in (body, exporter.log()):
                self.assertNotIn(PASSWORD, text)
                self.assertNotIn(cid, text)
            self.assertIn(cid, str(stub.requests()))

    def test_metrics_and_index(self):
        with Exporter(simple_config(), CHECKS) as exporter:
            status, headers, body = exporter.get("/metrics")
            self.assertEqual(status, 200)
            check_metrics(self, body)
            for family in ("tarnwick_exporter_build_info",
                           "process_cpu_seconds_total",
                           "process_resident_memory_bytes",
                           "process_open_fds", "process_start_time_seconds",
                           "tarnwick_exporter_probes_in_flight"):
                self.assertIn("\n" + family, body)
            status, headers, body = exporter.get("/")
            self.assertIn('href="/metrics"', body)
            self.assertEqual(exporter.get("/nothing")[0], 404)
            self.assertEqual(exporter.request("/probe", method="POST")[0],
                             405)


def connections_to(port):
    """How many connections to 127.0.0.1:port are established, from
    /proc/net/tcp (remote address 0100007F:PORT in hex, state 01)."""
    remote = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return sum(1 for row in rows if row[2] == remote and row[3] == "01")


class ExporterCommandLineTest(unittest.TestCase):
    def test_flags_and_config_check(self):
        with Exporter(simple_config(), CHECKS) as exporter:
            config = str(exporter.config_path)
            status, out, err = run_exporter(["--config.check",
                                             "--config.file", config])
            self.assertEqual((status, err), (0, ""))
            self.assertIn("1 modules with 2 checks, 1 auths", out)
            # A check that a dry run refuses.
            (exporter.dir / "checks" / "c.cfg").write_text("no section\n")
            status, out, err = run_exporter(["--config.check",
                                             "--config.file=" + config])
            self.assertEqual(status, 1)
            self.assertIn("c.cfg", err)
            exporter.config_path.write_text(
                simple_config() + "    tls_ca: missing.pem\n")
            status, out, err = run_exporter(["--config.check",
                                             "--config.file=" + config])
            self.assertEqual(status, 1)
            self.assertRegex(err, r"tarnwick_exporter.yml:\d+: auth 'site': "
                             r"insecure_skip_verify: contradicts")
        for args, want in ((["--help"], 0), (["--version"], 0),
                           (["--config.fil=x"], 2), (["--web.listen-address",
                                                       "host"], 2),
                           (["--probes.max-in-flight=0"], 2),
                           (["--config.file=/nonexistent.yml"], 1)):
            status, out, err = run_exporter(args)
            self.assertEqual(status, want, (args, err))
        self.assertRegex(run_exporter(["--help"])[1], r"10291")


if __name__ == "__main__":
    unittest.main()
