"""tarnwick_exporter's kept sessions (an auth's session_max_age) against the
stand-in controller with --require-cid: probes that follow one another
share one login, one that a login is in flight for waits for it, a request
the controller refuses under a kept session is sent once more under a new
one, and the logins are counted in /metrics."""

import pathlib
import tempfile
import threading
import time
import unittest

from exporter_harness import (Exporter, auth_yaml, config_yaml, module_yaml,
                              parse_metrics)
from harness import StubController, wait_for

CHECKS = {"checks": {
    "a.cfg": "[orvantis]\naction = list_gateways\n",
    "b.cfg": "[orvantis]\naction = show_site\n",
}}
REPLIES = {
    "list_gateways.json": {"gateways": [{"name": "gw-1"}]},
    "show_site.json": {"site": "paris"},
}
REFUSED = {"status": 401, "json": {"error": "invalid CID"}}


def config(**auth_keys):
    auth_keys.setdefault("session_max_age", "10m")
    return config_yaml(
        [module_yaml("gw", "checks", fail_http="true"),
         module_yaml("lax", "checks"),
         module_yaml("site", "checks", fail_http="true", only='["b.cfg"]')],
        [auth_yaml("site", '["127.0.0.0/8"]', **auth_keys)])


def cids(stub, action):
    return [dict(r["fields"]).get("CID") for r in stub.requests()
            if r["action"] == action]


class KeptSessionTest(unittest.TestCase):
    def probe(self, exporter, stub, module="gw"):
        status, _, body = exporter.get("/probe", target=stub.address,
                                       module=module, auth="site")
        self.assertEqual(status, 200, body)
        return parse_metrics(body)["probe_success"]

    def logins(self, exporter):
        _, _, body = exporter.get("/metrics")
        m = parse_metrics(body)
        return [m.get(f'tarnwick_exporter_logins_total{{auth="site",'
                      f'result="{result}"}}', 0)
                for result in ("success", "failure")]

    def test_probes_share_a_login_and_renew_a_refused_session(self):
        rows = [
            # rules, probes' success, logins seen, CIDs of list_gateways
            ("kept", [], [1, 1, 1], 1, ["cid-1"] * 3),
            # The second probe's first request is refused: a new login, the
            # request sent again and the next check under the new session.
            ("renewed", [dict(REFUSED, action="list_gateways", nth=2)],
             [1, 1, 1], 2, ["cid-1", "cid-1", "cid-2", "cid-2"]),
            # Refused again under the new session: the probe fails, the
            # reply that echoes the new session id quoted without it.
            ("refused twice", [{"action": "list_gateways", "nth": [2, 3],
                                "status": 401, "echo": "form"}],
             [1, 0, 1], 2, ["cid-1", "cid-1", "cid-2", "cid-2"]),
            # The same with a JSON body and without fail_http.
            ("refused twice, lax", [{"action": "list_gateways",
                                     "nth": [2, 3], **REFUSED}],
             [1, 0, 1], 2, ["cid-1", "cid-1", "cid-2", "cid-2"], "lax"),
            # Refused in the probe's own session: no second login.
            ("own session", [dict(REFUSED, action="list_gateways", nth=1)],
             [0, 1], 1, ["cid-1", "cid-1"]),
        ]
        for name, rules, successes, logins, sent, *module in rows:
            with self.subTest(name), \
                    StubController(REPLIES, rules,
                                   ["--require-cid"]) as stub, \
                    Exporter(config(), CHECKS) as exporter:
                self.assertEqual([self.probe(exporter, stub, *module)
                                  for _ in successes], successes)
                self.assertEqual(len(cids(stub, "login")), logins)
                self.assertEqual(cids(stub, "list_gateways"), sent)
                self.assertEqual(self.logins(exporter), [logins, 0])
                self.assertNotIn("cid-", exporter.log())
                self.assertEqual("CID=***" in exporter.log(),
                                 name == "refused twice")

    def test_a_session_is_kept_only_with_session_max_age(self):
        with StubController(REPLIES, [], ["--require-cid"]) as stub, \
                Exporter(config(session_max_age="1ms"), CHECKS) as exporter:
            self.assertEqual([self.probe(exporter, stub) for _ in range(2)],
                             [1, 1])
            self.assertEqual(len(cids(stub, "login")), 2)
        bad = [{"action": "login", "json": {"error": "bad credentials"}}]
        with StubController(REPLIES, bad) as stub, \
                Exporter(config(), CHECKS) as exporter:
            self.assertEqual([self.probe(exporter, stub) for _ in range(2)],
                             [0, 0])
            self.assertEqual(self.logins(exporter), [0, 2])

    def test_a_probe_waits_for_the_login_in_flight(self):
        with tempfile.TemporaryDirectory(prefix="tarnwick-holds.") as holds:
            release = pathlib.Path(holds) / "release"
            held = [{"action": "login", "nth": 1, "hold_until": str(release)}]
            with StubController(REPLIES, held, ["--require-cid"]) as stub, \
                    Exporter(config(), CHECKS) as exporter:
                results = {}
                threads = [threading.Thread(
                    target=lambda m=m: results.update(
                        {m: self.probe(exporter, stub, m)}))
                    for m in ("gw", "site")]
                threads[0].start()
                wait_for(lambda: cids(stub, "login"), "the first login", 10)
                threads[1].start()
                time.sleep(0.5)  # the second probe reaches the login
                release.touch()
                for t in threads:
                    t.join(30)
                self.assertEqual(results, {"gw": 1, "site": 1})
                self.assertEqual(len(cids(stub, "login")), 1)


if __name__ == "__main__":
    unittest.main()
