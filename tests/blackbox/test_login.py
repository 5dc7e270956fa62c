"""The opening login, end to end against the stand-in controller.

Every run uses an empty check directory, so the login is all that happens.
"""

import base64
import gzip
import json
import unittest

from harness import StubController, run

SECRET = "s3cr3t-Pw"  # must never show in any output


class LoginFailedAssertions(unittest.TestCase):

    def assert_login_failed(self, result, why, user="admin"):
        """"Login failed" on stdout, status 1, and on stderr one error line
        that names the URL, the user and, somewhere after, `why`."""
        status, out, err = result
        self.assertEqual((status, out), (1, "Login failed\n"), err)
        prefix = "tarnwick: login failed: the controller at 'https://127.0.0.1:"
        self.assertTrue(err.startswith(prefix), err)
        self.assertIn("/v1/api' did not accept the login of '%s': " % user,
                      err)
        self.assertIn(why, err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertNotIn(SECRET, err)


def login(replies=None, rules=None, stub_args=(), args=()):
    """Runs tarnwick against a fresh stub; returns (result, requests)."""
    with StubController(replies, rules, stub_args) as stub:
        checks = stub.dir / "checks"
        checks.mkdir()
        result = run(["--config_dir", checks, "--controller_ip", stub.address,
                      *(args or ["--password", SECRET])])
        return result, stub.requests()


class LoginReplyTest(LoginFailedAssertions):

    def test_replies_with_cid_succeed(self):
        cases = {
            "string": {"login.json": {"CID": "abc-123", "other": [1]}},
            "empty string": {"login.json": {"CID": ""}},
            "null": {"login.json": {"CID": None}},
            "number": {"login.json": {"CID": 7}},
            "large": {"login.json": {"pad": "x" * 3_000_000, "CID": "big"}},
        }
        for name, replies in cases.items():
            with self.subTest(name):
                result, _ = login(replies)
                self.assertEqual(result, (0, "", ""))

    def test_error_status_with_cid_body_succeeds(self):
        for status in (401, 500):
            with self.subTest(status):
                result, _ = login(rules=[{"action": "login", "status": status,
                                          "body": '{"CID": "x"}'}])
                self.assertEqual(result, (0, "", ""))

    def test_compressed_reply_is_decoded(self):
        body = base64.b64encode(gzip.compress(b'{"CID": "zipped"}')).decode()
        result, _ = login(rules=[{"action": "login", "body_base64": body,
                                  "headers": {"Content-Encoding": "gzip"}}])
        self.assertEqual(result, (0, "", ""))

    def test_unusable_replies_print_login_failed(self):
        deep = "[" * 10_001 + "]" * 10_001
        cases = {
            "lower-case cid": ({"body": '{"cid": "abc"}'},
                               'HTTP 200 application/json; the reply has no '
                               'member "CID", only \'cid\'\n'),
            "empty body": ({"body": ""}, "; the reply is empty\n"),
            "html": ({"body": "<html><body>Welcome %s</body></html>" % SECRET,
                      "content_type": "text/html"},
                     "HTTP 200 text/html; the reply is not JSON: unexpected "
                     "'<' at byte 0, body begins "
                     "'<html><body>Welcome ***</body></html>'\n"),
            "json array": ({"body": '[{"CID": "abc"}]'},
                           "; the reply is a list, not an object\n"),
            "json string": ({"body": '"CID"'},
                            "; the reply is a text, not an object\n"),
            "json null": ({"body": "null"},
                          "; the reply is None, not an object\n"),
            "nested past the limit": ({"body": '{"CID": %s}' % deep},
                                      "; the reply nests deeper than 10000 "
                                      "levels at byte 10007, body begins "),
            "bad credentials": ({"body": '{"error": "bad credentials"}',
                                 "status": 401},
                                'HTTP 401 application/json; the reply has no '
                                'member "CID", only \'error\'\n'),
        }
        for name, (rule, why) in cases.items():
            with self.subTest(name):
                result, requests = login(rules=[dict(rule, action="login")])
                self.assert_login_failed(result, why)
                self.assertEqual(len(requests), 1)

    def test_redirect_is_not_followed(self):
        # A 307 would re-post the password to its target; here the target is
        # the stub again, whose second answer would be a good login.
        for body in ('{"CID": "r"}', "<a href=x>moved</a>"):
            with self.subTest(body):
                result, requests = login(rules=[{
                    "action": "login", "nth": 1, "status": 307, "body": body,
                    "headers": {"Location": "/v1/api?again"}}])
                if body.startswith("{"):
                    self.assertEqual(result, (0, "", ""))
                else:
                    # Named without its query, which may carry a token.
                    self.assert_login_failed(
                        result, "/v1/api'; the reply is not JSON")
                    self.assertIn(": HTTP 307 ", result[2])
                    self.assertIn(", redirected to 'https://127.0.0.1:",
                                  result[2])
                    self.assertNotIn("again", result[2])
                self.assertEqual(len(requests), 1)


class CredentialsTest(LoginFailedAssertions):

    def test_wrong_credentials_fail(self):
        cases = {
            "right": (["--password", SECRET], None),
            "wrong password": (["--password", "other"], "admin"),
            "wrong user": (["--username", "root", "--password", SECRET],
                           "root"),
        }
        for name, (args, user) in cases.items():
            with self.subTest(name):
                result, _ = login(stub_args=["--username", "admin",
                                             "--password", SECRET], args=args)
                if user is None:
                    self.assertEqual(result, (0, "", ""))
                else:
                    self.assert_login_failed(
                        result, "the reply has no member \"CID\", only "
                        "'error'", user)

    def test_login_form_on_the_wire(self):
        result, requests = login(args=["--password", "x"])
        self.assertEqual(result, (0, "", ""))
        self.assertEqual(len(requests), 1)
        request = requests[0]
        self.assertEqual((request["method"], request["path"]),
                         ("POST", "/v1/api"))
        self.assertEqual(request["content_type"],
                         "application/x-www-form-urlencoded")
        self.assertEqual(request["fields"], [["action", "login"],
                                             ["username", "admin"],
                                             ["password", "x"]])
        headers = {name.lower(): value for name, value in request["headers"]}
        self.assertNotIn("expect", headers)
        self.assertNotIn("cookie", headers)
        # So that a controller's audit log tells tarnwick apart.
        version = run(["--version"])[1].split("\n")[0].split(" ")[1]
        self.assertEqual(headers["user-agent"], "tarnwick/" + version)

    def test_special_characters_arrive_intact(self):
        username = "a&b=c+d e%20"
        password = "p@ss w=rd&+ \u00fcber \u20ac\u4e2d"
        result, requests = login(args=["--username", username,
                                       "--password", password])
        self.assertEqual(result, (0, "", ""))
        self.assertEqual(requests[0]["fields"], [["action", "login"],
                                                 ["username", username],
                                                 ["password", password]])
        # A blank goes as "+", a plus sign as "%2B".
        self.assertEqual(
            requests[0]["body"],
            "action=login&username=a%26b%3Dc%2Bd+e%2520&password="
            "p%40ss+w%3Drd%26%2B+%C3%BCber+%E2%82%AC%E4%B8%AD")


class ConnectionFailureTest(unittest.TestCase):

    def run_against(self, address):
        with StubController() as stub:  # only for its temporary directory
            checks = stub.dir / "checks"
            checks.mkdir()
            return run(["--config_dir", checks, "--controller_ip", address,
                        "--password", SECRET])

    def assert_connection_error(self, result, address):
        status, out, err = result
        self.assertEqual(status, 1)
        self.assertEqual(out, "")
        self.assertTrue(err.startswith("tarnwick: connection error: "), err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn(f"'https://{address}/v1/api'", err)
        self.assertNotIn(SECRET, err)

    def test_closed_port(self):
        self.assert_connection_error(self.run_against("127.0.0.1:1"),
                                     "127.0.0.1:1")

    def test_dropped_connections(self):
        for fault in ("drop_before_status", "drop_mid_body"):
            with self.subTest(fault):
                rules = [{"action": "login", "json": {"CID": "x" * 100},
                          "fault": fault}]
                with StubController(rules=rules) as stub:
                    checks = stub.dir / "checks"
                    checks.mkdir()
                    result = run(["--config_dir", checks, "--controller_ip",
                                  stub.address, "--password", SECRET])
                    self.assert_connection_error(result, stub.address)


if __name__ == "__main__":
    unittest.main()
