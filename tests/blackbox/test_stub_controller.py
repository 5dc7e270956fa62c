"""The stand-in controller itself, driven with Python's own HTTPS client.

Every other black-box test trusts what the stub answers and logs, so its
reply selection, rules, faults and log are pinned here.
"""

import http.client
import json
import socket
import ssl
import subprocess
import sys
import time
import unittest
import urllib.parse

from harness import STUB, StubController

TLS = ssl._create_unverified_context()  # the stub's certificate is self-signed


def post(stub, fields=None, body=None, path="/v1/api", method="POST",
         timeout=10):
    """Sends one request; returns (status, headers dict, body bytes)."""
    if body is None:
        body = urllib.parse.urlencode(fields or [])
    conn = http.client.HTTPSConnection("127.0.0.1", stub.port, timeout=timeout,
                                       context=TLS)
    try:
        conn.request(method, path, body=body, headers={
            "Content-Type": "application/x-www-form-urlencoded"})
        reply = conn.getresponse()
        return reply.status, dict(reply.getheaders()), reply.read()
    finally:
        conn.close()


def post_json(stub, fields):
    status, _, body = post(stub, fields)
    return status, json.loads(body)


class ReplySelectionTest(unittest.TestCase):

    def test_reply_files(self):
        replies = {
            "show.json": {"which": "plain"},
            "show@name=x%20y%2Fz.json": {"which": "x y/z"},
            "show@id=7.json": {"which": "id 7"},
            "caf%C3%A9.json": {"which": "cafe"},
            "raw.json": "not json at all",
        }
        cases = [
            ([("action", "show")], (200, {"which": "plain"})),
            ([("action", "show"), ("name", "other")],
             (200, {"which": "plain"})),
            ([("action", "show"), ("name", "x y/z")],
             (200, {"which": "x y/z"})),
            # The first field in request order with a file of its own wins.
            ([("action", "show"), ("id", "7"), ("name", "x y/z")],
             (200, {"which": "id 7"})),
            ([("action", "show"), ("name", "x y/z"), ("id", "7")],
             (200, {"which": "x y/z"})),
            ([("action", "caf\u00e9")], (200, {"which": "cafe"})),
            ([("action", "nope")], (404, {"error": "unknown action"})),
            ([("name", "x")], (404, {"error": "unknown action"})),
        ]
        with StubController(replies) as stub:
            for fields, expected in cases:
                with self.subTest(fields):
                    self.assertEqual(post_json(stub, fields), expected)
            self.assertEqual(post(stub, [("action", "raw")])[2],
                             b"not json at all")
            self.assertEqual(post(stub, [("action", "show")], path="/x")[0],
                             404)
            self.assertEqual(post(stub, [], method="GET")[0], 405)

    def test_login(self):
        with StubController() as stub:
            self.assertEqual(post_json(stub, [("action", "login")]),
                             (200, {"CID": "cid-1"}))
            self.assertEqual(post_json(stub, [("action", "login")]),
                             (200, {"CID": "cid-2"}))
        with StubController({"login.json": {"CID": "fixed"}},
                            args=["--username", "u", "--password", "p"]) as s:
            cases = [
                ([("username", "u"), ("password", "p")], {"CID": "fixed"}),
                ([("username", "u"), ("password", "P")],
                 {"error": "bad credentials"}),
                ([("username", "v"), ("password", "p")],
                 {"error": "bad credentials"}),
                ([("password", "p")], {"error": "bad credentials"}),
            ]
            for fields, expected in cases:
                with self.subTest(fields):
                    self.assertEqual(
                        post_json(s, [("action", "login")] + fields),
                        (200, expected))

    def test_require_cid(self):
        with StubController({"show.json": {"ok": 1}},
                            args=["--require-cid"]) as stub:
            _, reply = post_json(stub, [("action", "login")])
            cases = [
                ([("CID", reply["CID"])], (200, {"ok": 1})),
                ([("CID", "forged")], (401, {"error": "invalid CID"})),
                ([], (401, {"error": "invalid CID"})),
            ]
            for fields, expected in cases:
                with self.subTest(fields):
                    self.assertEqual(
                        post_json(stub, fields + [("action", "show")]),
                        expected)


class RulesTest(unittest.TestCase):

    def test_rules(self):
        rules = [
            {"action": "login", "nth": 2, "status": 401},
            {"action": "show", "fields": {"name": "b"},
             "body": "<html></html>", "content_type": "text/html",
             "headers": {"X-Extra": "1"}},
            {"action": "show", "nth": [2, 3], "json": [1, 2]},
            {"action": "bin", "body_base64": "AAEC/w=="},
        ]
        with StubController({"show.json": {"plain": True}},
                            rules=rules) as stub:
            self.assertEqual(post(stub, [("action", "login")])[0], 200)
            status, _, body = post(stub, [("action", "login")])
            self.assertEqual((status, json.loads(body)), (401, {"CID":
                                                               "cid-2"}))
            status, headers, body = post(stub, [("action", "show"),
                                                ("name", "b")])
            self.assertEqual((status, body), (200, b"<html></html>"))
            self.assertEqual(headers["Content-Type"], "text/html")
            self.assertEqual(headers["X-Extra"], "1")
            # That was the first "show"; the second and third match "nth".
            self.assertEqual(post_json(stub, [("action", "show")]),
                             (200, [1, 2]))
            self.assertEqual(post_json(stub, [("action", "show")]),
                             (200, [1, 2]))
            self.assertEqual(post_json(stub, [("action", "show")]),
                             (200, {"plain": True}))
            self.assertEqual(post(stub, [("action", "bin")])[2],
                             b"\x00\x01\x02\xff")

    def test_faults(self):
        rules = [
            {"action": "drop", "fault": "drop_before_status"},
            {"action": "half", "json": {"k": "v" * 50},
             "fault": "drop_mid_body"},
            {"action": "hang", "fault": "hang"},
            {"action": "stall", "json": {"k": "v"}, "fault": "head_then_hang",
             "body_bytes": 5},
            {"action": "reset", "fault": "drop_after_read"},
        ]
        with StubController(rules=rules) as stub:
            with self.assertRaises((http.client.RemoteDisconnected,
                                    ConnectionError, ssl.SSLError)):
                post(stub, [("action", "drop")])
            # Reset, not closed: the request was read and logged first.
            with self.assertRaises((ConnectionResetError, ssl.SSLError)):
                post(stub, [("action", "reset")])
            self.assertEqual([r["action"] for r in stub.requests()],
                             ["drop", "reset"])
            with self.assertRaises(http.client.IncompleteRead):
                post(stub, [("action", "half")])
            started = time.monotonic()
            with self.assertRaises((socket.timeout, TimeoutError)):
                post(stub, [("action", "hang")], timeout=1)
            self.assertGreaterEqual(time.monotonic() - started, 0.9)
            conn = http.client.HTTPSConnection("127.0.0.1", stub.port,
                                               timeout=1, context=TLS)
            try:
                conn.request("POST", "/v1/api", body="action=stall")
                reply = conn.getresponse()
                self.assertEqual((reply.status, reply.getheader(
                    "Content-Length")), (200, "10"))
                self.assertEqual(reply.read(5), b'{"k":')
                with self.assertRaises((socket.timeout, TimeoutError)):
                    reply.read(1)
            finally:
                conn.close()
            # The stub still answers others meanwhile.
            self.assertEqual(post(stub, [("action", "login")])[0], 200)

    def test_delay_holds_the_answer_back(self):
        rules = [{"action": "slow", "delay": 1.5, "json": {"slow": True}}]
        with StubController(rules=rules) as stub:
            started = time.monotonic()
            self.assertEqual(post_json(stub, [("action", "slow")]),
                             (200, {"slow": True}))
            self.assertGreaterEqual(time.monotonic() - started, 1.5)
            # Only the rule's own requests wait.
            started = time.monotonic()
            self.assertEqual(post(stub, [("action", "login")])[0], 200)
            self.assertLess(time.monotonic() - started, 1)

    def test_bad_rules_are_refused_at_start(self):
        cases = [
            [{"fault": "no_such_fault"}],
            [{"status": "200"}],
            [{"acton": "typo"}],
            [{"fields": {"a": 1}}],
            ["not a rule"],
            [{"delay": -1}],
            [{"delay": "1"}],
            [{"body_bytes": 5}],
            [{"fault": "head_then_hang", "body_bytes": -1}],
        ]
        for rules in cases:
            with self.subTest(rules):
                with self.assertRaises(RuntimeError):
                    with StubController(rules=rules):
                        pass


class KeptConnectionTest(unittest.TestCase):

    def test_connections_are_kept_numbered_and_closed_after_n_replies(self):
        with StubController(args=["--replies-per-connection", "2"]) as stub:
            conn = http.client.HTTPSConnection("127.0.0.1", stub.port,
                                               timeout=10, context=TLS)
            said = []
            for _ in range(3):
                # http.client opens a new connection once one was closed.
                conn.request("POST", "/v1/api", body="action=login")
                reply = conn.getresponse()
                reply.read()
                said.append(reply.getheader("Connection"))
            conn.close()
            post(stub, [("action", "login")])
            requests = stub.requests()
        self.assertEqual(said, [None, "close", None])
        self.assertEqual([r["connection"] for r in requests], [1, 1, 2, 3])
        self.assertEqual({r["tls_resumed"] for r in requests}, {False})


class LogAndLifetimeTest(unittest.TestCase):

    def test_log_keeps_fields_in_order(self):
        with StubController() as stub:
            post(stub, body="action=login&k=1&k=&j=a+b%26c&k=2&flag")
            post(stub, [("action", "x")])
            first, second = stub.requests()
        self.assertEqual(first["n"], 1)
        self.assertEqual(first["fields"], [["action", "login"], ["k", "1"],
                                           ["k", ""], ["j", "a b&c"],
                                           ["k", "2"], ["flag", ""]])
        self.assertEqual(first["action"], "login")
        self.assertEqual(first["body"],
                         "action=login&k=1&k=&j=a+b%26c&k=2&flag")
        self.assertEqual(first["content_type"],
                         "application/x-www-form-urlencoded")
        self.assertEqual((second["n"], second["action"]), (2, "x"))

    def test_lifetime_ends_the_stub(self):
        proc = subprocess.Popen(
            [sys.executable, str(STUB), "--replies", "/nonexistent",
             "--lifetime", "1"], stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            out, _ = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(out.decode(), r"^listening on 127\.0\.0\.1:\d+\n$")


if __name__ == "__main__":
    unittest.main()
