"""A controller that misbehaves on the wire, end to end.

Whatever the controller sends, a run ends with the right report or with one
line "tarnwick: connection error: ..." / "tarnwick: invalid reply: ..." that
names the cause, exit status 1; nothing is retried or followed, and the
password shows in no output and reaches the controller only in logins.
"""

import base64
import gzip
import http.client
import json
import pathlib
import socket
import ssl
import tempfile
import unittest

from harness import StubController, run, write_checks

PASSWORD = "S3cr3t-pw!"  # must never show in any output
TIMEOUT = 60  # seconds for any one run
CHECK = "[default]\ndescription = d\n[orvantis]\naction = show\n"
REPLY = {"ok": [1, 2, 3]}
REPLY_TEXT = json.dumps(REPLY)
REPORT = "d\n{'ok': [1, 2, 3]}\n\n\n"


def b64(data):
    return base64.b64encode(data).decode()


def run_checks(rules=None, checks=None, replies=None, stub_args=()):
    """Runs tarnwick against a fresh stub; returns (status, out, err,
    requests)."""
    with StubController(replies, rules, stub_args) as stub:
        if checks is None:
            checks = {"a.cfg": CHECK}
        directory = write_checks(stub.dir / "checks", checks)
        status, out, err = run(["--config_dir", directory, "--controller_ip",
                                stub.address, "--password", PASSWORD],
                               timeout=TIMEOUT)
        return status, out, err, stub.requests()


def assert_password_kept(test, out, err, requests=()):
    """The password is in no output, and on the wire only as the password
    field of a login."""
    test.assertNotIn(PASSWORD, out)
    test.assertNotIn(PASSWORD, err)
    for request in requests:
        if request["action"] == "login":
            test.assertEqual(request["fields"][2], ["password", PASSWORD])
        else:
            test.assertNotIn(PASSWORD, request["body"])
            test.assertNotIn(PASSWORD, json.dumps(request["fields"]))


def assert_one_line_report(test, err, kind, *parts):
    test.assertTrue(err.startswith("tarnwick: %s: " % kind), err)
    test.assertEqual(err.count("\n"), 1, err)
    test.assertTrue(err.endswith("\n"), err)
    for part in parts:
        test.assertIn(part, err)


class BrokenReplyTest(unittest.TestCase):
    """Faults in the reply to a check's request: the description is out,
    the check fails with one report naming the cause and the check."""

    def test_check_reply_faults_end_the_run_with_the_cause(self):
        gzipped = b64(gzip.compress(REPLY_TEXT.encode()))
        cases = {
            "dropped before the status line": (
                {"fault": "drop_before_status"},
                "connection error", "Empty reply from server"),
            "dropped in the middle of the body": (
                {"json": REPLY, "fault": "drop_mid_body"},
                "connection error", "transfer closed with"),
            "Content-Length longer than the body": (
                {"body": REPLY_TEXT,
                 "headers": {"Content-Length": str(len(REPLY_TEXT) + 10)}},
                "connection error", "transfer closed with 10 bytes remaining"),
            # The body is cut where the header says: what is left is no JSON.
            "Content-Length shorter than the body": (
                {"body": REPLY_TEXT,
                 "headers": {"Content-Length": str(len(REPLY_TEXT) - 3)}},
                "invalid reply", "is not closed"),
            "chunked header without chunks": (
                {"body": REPLY_TEXT,
                 "headers": {"Transfer-Encoding": "chunked"}},
                "connection error", "chunked"),
            "gzip header over a body that is not gzip": (
                {"body": REPLY_TEXT, "headers": {"Content-Encoding": "gzip"}},
                "invalid reply", "cannot be decoded"),
            # Without the header gzip bytes are just a body that is no JSON.
            "gzip bytes without Content-Encoding": (
                {"body_base64": gzipped},
                "invalid reply", "'\\x1f' at byte 0"),
            "UTF-16 JSON": (
                {"body_base64": b64(REPLY_TEXT.encode("utf-16"))},
                "invalid reply", "invalid UTF-8 byte 0xff at byte 0"),
            "empty 204": ({"status": 204, "body": ""},
                          "invalid reply", "reply is empty"),
        }
        for name, (rule, kind, cause) in cases.items():
            with self.subTest(name):
                status, out, err, requests = run_checks(
                    [dict(rule, action="show")])
                self.assertEqual((status, out), (1, "d\n"), err)
                assert_one_line_report(self, err, kind, cause, "a.cfg)")
                # One request per check: nothing is retried.
                self.assertEqual([r["action"] for r in requests],
                                 ["login", "login", "show"])
                assert_password_kept(self, out, err, requests)

    def test_redirects_are_never_followed(self):
        # Each Location points back at the stub, whose next answer would be
        # a good reply: a followed redirect would show as a second request.
        for code in (301, 302, 303, 307, 308):
            with self.subTest(code):
                status, out, err, requests = run_checks([
                    {"action": "show", "nth": 1, "status": code,
                     "body": "<a href='/v1/api?again'>moved</a>",
                     "content_type": "text/html",
                     "headers": {"Location": "/v1/api?again"}},
                    {"action": "show", "json": REPLY}])
                self.assertEqual((status, out), (1, "d\n"), err)
                assert_one_line_report(self, err, "invalid reply",
                                       "unexpected '<' at byte 0")
                self.assertEqual([r["action"] for r in requests],
                                 ["login", "login", "show"])
                self.assertEqual({r["path"] for r in requests}, {"/v1/api"})
                assert_password_kept(self, out, err, requests)

    def test_redirect_with_a_json_body_is_the_reply(self):
        # The status is not looked at, a 3xx's included.
        status, out, err, requests = run_checks([
            {"action": "show", "status": 307, "json": REPLY,
             "headers": {"Location": "https://127.0.0.1:1/v1/api"}}])
        self.assertEqual((status, out, err), (0, REPORT, ""))
        self.assertEqual(len(requests), 3)
        assert_password_kept(self, out, err, requests)


class UnusualButSoundReplyTest(unittest.TestCase):
    """Framings a controller may legitimately use: the result is exact."""

    def test_reply_framings_give_the_exact_report(self):
        big = {"items": ["item-%05d" % i for i in range(2000)]}
        cases = {
            "close-delimited": ({"json": REPLY, "fault": "close_delimited"},
                                REPLY),
            "chunked": ({"json": big, "fault": "chunked"}, big),
            "gzip with Content-Encoding": (
                {"body_base64": b64(gzip.compress(json.dumps(big).encode())),
                 "headers": {"Content-Encoding": "gzip"}}, big),
            "UTF-8 byte-order mark": (
                {"body_base64": b64(b"\xef\xbb\xbf" + REPLY_TEXT.encode())},
                REPLY),
            # 20 pieces 50 ms apart: about a second for the whole body.
            "trickled": ({"json": big, "fault": "trickle"}, big),
            "error status": ({"status": 500, "json": REPLY}, REPLY),
        }
        for name, (rule, reply) in cases.items():
            with self.subTest(name):
                status, out, err, requests = run_checks(
                    [dict(rule, action="show")])
                with StubController({"show.json": reply}) as reference:
                    directory = write_checks(reference.dir / "checks",
                                             {"a.cfg": CHECK})
                    expected = run(["--config_dir", directory,
                                    "--controller_ip", reference.address,
                                    "--password", PASSWORD], timeout=TIMEOUT)
                self.assertEqual(expected[0], 0, expected)
                self.assertEqual((status, out, err), expected)
                self.assertEqual(len(requests), 3)
                assert_password_kept(self, out, err, requests)


class LoginReplyFaultTest(unittest.TestCase):
    """The same faults on the opening login: a request that cannot be
    completed is an error report; a body that is no login reply is "Login
    failed"."""

    def test_login_faults(self):
        login_failed = (1, "Login failed\n", None)
        cases = {
            "plain HTTP on the HTTPS port": (
                None, ["--plain-http"],
                ("connection error", "TLS handshake with 'https://",
                 "wrong version number; does this port speak plain HTTP?")),
            "dropped before the status line": (
                {"fault": "drop_before_status"}, [],
                ("connection error", "Empty reply from server")),
            "trickled CID": (
                {"json": {"CID": "slow"}, "fault": "trickle"}, [], None),
            "chunked CID": (
                {"json": {"CID": "chunked"}, "fault": "chunked"}, [], None),
            "gzip header over a body that is not gzip": (
                {"body": '{"CID": "x"}',
                 "headers": {"Content-Encoding": "gzip"}}, [],
                ("invalid reply", "cannot be decoded")),
            "gzip bytes without Content-Encoding": (
                {"body_base64": b64(gzip.compress(b'{"CID": "x"}'))}, [],
                login_failed),
            "UTF-16 JSON": (
                {"body_base64": b64('{"CID": "x"}'.encode("utf-16"))}, [],
                login_failed),
        }
        for name, (rule, stub_args, expected) in cases.items():
            with self.subTest(name):
                rules = None if rule is None else [dict(rule, action="login")]
                status, out, err, requests = run_checks(
                    rules, checks={}, stub_args=stub_args)
                if expected is None:
                    self.assertEqual((status, out, err), (0, "", ""))
                elif expected is login_failed:
                    self.assertEqual((status, out), (1, "Login failed\n"))
                    assert_one_line_report(self, err, "login failed",
                                           "; the reply is not JSON: ")
                else:
                    self.assertEqual((status, out), (1, ""), err)
                    assert_one_line_report(self, err, *expected)
                    self.assertNotIn("Login failed", out + err)
                assert_password_kept(self, out, err, requests)

    def test_plain_http_port_never_sees_the_password(self):
        # The handshake fails before a byte of the form is sent: no request
        # reached the stub at all, so the password never went out in clear.
        status, _, err, requests = run_checks(checks={},
                                              stub_args=["--plain-http"])
        self.assertEqual(status, 1, err)
        self.assertNotIn(PASSWORD, err)
        self.assertEqual(requests, [])


TLS = ssl._create_unverified_context()  # the stub's certificate is self-signed


class StubFaultsTest(unittest.TestCase):
    """The stub's faults used above send what their names say, so the
    results above are tarnwick's own."""

    def raw_reply(self, stub, action):
        """The whole reply to one request, head and body, as bytes, read
        until the stub closes the connection (it keeps it open otherwise)."""
        body = "action=" + action
        with socket.create_connection(("127.0.0.1", stub.port), 10) as plain:
            with TLS.wrap_socket(plain) as conn:
                conn.sendall(("POST /v1/api HTTP/1.1\r\nHost: x\r\n"
                              "Connection: close\r\n"
                              "Content-Length: %d\r\n\r\n%s" %
                              (len(body), body)).encode())
                data = b""
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return data
                    data += chunk

    def test_framings(self):
        rules = [{"action": "cd", "json": [1], "fault": "close_delimited"},
                 {"action": "ch", "json": list(range(50)), "fault": "chunked"},
                 {"action": "gen", "generate": "list", "bytes": 100}]
        with StubController(rules=rules) as stub:
            head, body = self.raw_reply(stub, "cd").split(b"\r\n\r\n", 1)
            self.assertNotIn(b"content-length", head.lower())
            self.assertEqual(body, b"[1]")
            head, body = self.raw_reply(stub, "ch").split(b"\r\n\r\n", 1)
            self.assertIn(b"Transfer-Encoding: chunked", head)
            self.assertEqual(body.count(b"\r\n") // 2, 8)  # 7 chunks and end
            head, body = self.raw_reply(stub, "gen").split(b"\r\n\r\n", 1)
            self.assertIn(b"Content-Length: 86", head)
            self.assertEqual(json.loads(body),
                             ["item-%09d" % i for i in range(5)])

    def test_plain_http_answers_a_handshake_in_plain_text(self):
        with StubController(args=["--plain-http"]) as stub:
            with self.assertRaises(ssl.SSLError):
                self.raw_reply(stub, "login")
            conn = http.client.HTTPConnection("127.0.0.1", stub.port,
                                              timeout=10)
            conn.request("POST", "/v1/api", body="action=login")
            self.assertEqual(conn.getresponse().status, 200)
            conn.close()
            self.assertEqual([r["action"] for r in stub.requests()],
                             ["login"])

    def test_hold_until_waits_for_the_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            release = pathlib.Path(tmp) / "release"
            rules = [{"action": "held", "json": 1,
                      "hold_until": str(release)}]
            with StubController(rules=rules) as stub:
                conn = http.client.HTTPSConnection("127.0.0.1", stub.port,
                                                   timeout=0.5, context=TLS)
                conn.request("POST", "/v1/api", body="action=held")
                with self.assertRaises((socket.timeout, TimeoutError)):
                    conn.getresponse()
                conn.close()
                release.touch()
                conn = http.client.HTTPSConnection("127.0.0.1", stub.port,
                                                   timeout=10, context=TLS)
                conn.request("POST", "/v1/api", body="action=held")
                self.assertEqual(conn.getresponse().read(), b"1")
                conn.close()

if __name__ == "__main__":
    unittest.main()
