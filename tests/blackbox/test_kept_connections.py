"""--reuse-connections and --reuse-session end to end: the same report and
the same requests as a plain run, over fewer connections and logins, as the
stand-in controller's log counts them; and what a kept connection that dies
after the request was read does.
"""

import re
import unittest

from harness import StubController, run, write_checks

TIMEOUT = 60  # seconds for any one run
CHECKS = {
    "a.cfg": "[default]\ndescription = fan-out\n"
             "[orvantis]\naction = show\nname = output(items)\n",
    "items": "[orvantis]\naction = list\n",
    "b.cfg": "[orvantis]\naction = site\n",
    "c.cfg": "[orvantis]\naction = retired\n",  # 404, a JSON body all the same
}
REPLIES = {"list.json": ["edge-1", "edge-2", "edge-3"],
           "show.json": {"up": True}, "site.json": {"name": "east"}}
# The fault's rule; the login reply below it keeps the first CID in use.
DROPPED = [{"action": "site", "nth": 1, "fault": "drop_after_read"}]


def run_against(stub, *options):
    checks = write_checks(stub.dir / "checks", CHECKS)
    return run(["--config_dir", checks, "--controller_ip", stub.address,
                "--password", "pw", *options], timeout=TIMEOUT)


def sent(requests):
    """What each request asked for: its fields, the session id left out."""
    return [[f for f in r["fields"] if f[0] != "CID"] for r in requests]


def connections(requests):
    return len({r["connection"] for r in requests})


def libcurl_version():
    """(major, minor) of the libcurl that tarnwick uses."""
    _, out, _ = run(["--version"])
    major, minor = re.search(r"^libcurl (\d+)\.(\d+)", out, re.M).groups()
    return int(major), int(minor)


class KeptConnectionTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        with StubController(REPLIES, args=["--require-cid"]) as stub:
            cls.plain = run_against(stub)
            cls.plain_requests = stub.requests()

    def test_same_run_over_fewer_connections_and_logins(self):
        plain = self.plain_requests
        self.assertEqual(self.plain[0], 0, self.plain)
        self.assertEqual(connections(plain), len(plain))
        logins = [r for r in plain if r["action"] == "login"]
        self.assertEqual(len(logins), 5)  # opening, a.cfg, items, b.cfg, c.cfg
        one_login = [r for r in plain if r["action"] != "login"]
        one_login.insert(0, logins[0])
        # name: (options, stand-in options, requests expected, connections)
        rows = {
            "kept connections": (
                ["--reuse-connections"], [], plain, 1),
            "reopened after the controller closes them": (
                ["--reuse-connections"], ["--replies-per-connection", "4"],
                plain, -(-len(plain) // 4)),
            "one session": (
                ["--reuse-session"], [], one_login, len(one_login)),
            "both": (["--reuse-connections", "--reuse-session"], [],
                     one_login, 1),
        }
        for name, (options, stub_args, expected, count) in rows.items():
            with self.subTest(name), StubController(
                    REPLIES, args=["--require-cid", *stub_args]) as stub:
                self.assertEqual(run_against(stub, *options), self.plain)
                requests = stub.requests()
                self.assertEqual(sent(requests), sent(expected))
                self.assertEqual(connections(requests), count)
                # A reopened connection resumes the TLS session.
                resumed = [r["connection"] > 1 for r in requests]
                if "--reuse-connections" in options:
                    self.assertEqual([r["tls_resumed"] for r in requests],
                                     resumed)
                if "--reuse-session" in options:
                    self.assertEqual({v for r in requests
                                      for n, v in r["fields"] if n == "CID"},
                                     {"cid-1"})

    def test_verbose_says_which_requests_opened_a_connection(self):
        with StubController(REPLIES,
                            args=["--replies-per-connection", "3"]) as stub:
            status, out, err = run_against(stub, "--reuse-connections",
                                           "--verbose")
            requests = stub.requests()
        self.assertEqual((status, out), self.plain[:2])
        ends = [line.rsplit(", ", 1)[1] for line in err.splitlines()]
        opened = [i == 0 or r["connection"] != requests[i - 1]["connection"]
                  for i, r in enumerate(requests)]
        self.assertEqual(ends, ["new connection" if o else "reused"
                                for o in opened])

    def test_kept_connection_reset_after_the_request_was_read(self):
        """Records what arrives when the controller reads a request on a
        kept connection and resets it without a reply. libcurl before 8.16
        sends the request again on a new connection, so the action arrives
        twice and the run goes on with the second reply; from 8.16 on
        tarnwick forbids that, and the request fails."""
        with StubController(REPLIES, DROPPED) as stub:
            status, out, err = run_against(stub, "--reuse-connections",
                                           "--only", "b.cfg")
            requests = stub.requests()
        site = [r for r in requests if r["action"] == "site"]
        self.assertEqual(site[0]["connection"], requests[0]["connection"])
        if libcurl_version() < (8, 16):
            self.assertEqual((status, out, err),
                             (0, "{'name': 'east'}\n\n\n", ""))
            self.assertEqual(len(site), 2)
            self.assertEqual(site[0]["body"], site[1]["body"])
            self.assertNotEqual(site[1]["connection"], site[0]["connection"])
            self.assertTrue(site[1]["tls_resumed"])
        else:
            self.assertEqual((status, out), (1, ""))
            self.assertTrue(err.startswith("tarnwick: connection error: "))
            self.assertEqual(len(site), 1)

    def test_reset_without_kept_connections_is_not_sent_again(self):
        with StubController(REPLIES, DROPPED) as stub:
            status, out, err = run_against(stub, "--only", "b.cfg")
            requests = stub.requests()
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.startswith("tarnwick: connection error: request "
                                       "to "), err)
        self.assertEqual([r["action"] for r in requests],
                         ["login", "login", "site"])


if __name__ == "__main__":
    unittest.main()
