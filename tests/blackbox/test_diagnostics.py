"""What a run says about the wire: failures that name what the controller
answered, the --verbose trace, and the --timeout bound on each wait.

Without those options stdout, the exit status and the traffic are the same
as ever; these tests compare a traced run with a plain one.
"""

import re
import socket
import time
import unittest

from harness import StubController, run, write_checks

PASSWORD = "S3cr3t-pw!"  # must never show in any output
TIMEOUT = 60  # seconds for any one run
CHECK = "[default]\ndescription = d\n[orvantis]\naction = show\n"


def run_against(stub, checks, *more, timeout=TIMEOUT):
    directory = write_checks(stub.dir / "checks", checks)
    return run(["--config_dir", directory, "--controller_ip", stub.address,
                "--password", PASSWORD, *more], timeout=timeout)


class FailureMessageTest(unittest.TestCase):

    def test_reply_that_is_not_json_names_status_type_and_first_bytes(self):
        # The page quotes the session id and the password back; neither may
        # reach the error line.
        page = ("<html><head><title>502 Bad Gateway</title></head>"
                "<body>cid-2 %s</body></html>" % PASSWORD)
        rules = [{"action": "show", "status": 502, "body": page,
                  "content_type": "text/html"}]
        with StubController(rules=rules) as stub:
            status, out, err = run_against(stub, {"a.cfg": CHECK})
            self.assertEqual((status, out), (1, "d\n"))
            self.assertEqual(
                err,
                "tarnwick: invalid reply: reply is not JSON: unexpected '<' at "
                "byte 0 (HTTP 502 text/html, body begins '<html><head><title>"
                "502 Bad Gateway</title></head><body>*** ***</body></html>') "
                "(in %s/checks/a.cfg)\n" % stub.dir)


class VerboseTest(unittest.TestCase):
    CHECKS = {
        "items": "[orvantis]\naction = list\n",
        "a.cfg": "[orvantis]\naction = show\nname = output(items)\n",
        "b.cfg": "[orvantis]\naction = no_such_action\n",
    }
    # Elements are cut past 60 characters, not bytes.
    REPLIES = {"list.json": ["edge-1", "x" * 100, "y" * 60, "\u00e9" * 70],
               "show.json": {"up": True}}
    LINE = re.compile(r"^\[tarnwick\] (.*): HTTP (\d+), (\d+) bytes, "
                      r"\d+\.\d{3} s$")

    def test_one_line_per_request_and_nothing_else_changes(self):
        with StubController(self.REPLIES) as stub:
            plain = run_against(stub, self.CHECKS)
            plain_requests = stub.requests()
            traced = run_against(stub, self.CHECKS, "--verbose")
            traced_requests = stub.requests()[len(plain_requests):]
        self.assertEqual(traced[:2], plain[:2])
        self.assertEqual(plain[2], "")
        strip = [(r["action"], r["fields"][1:]) for r in plain_requests]
        self.assertEqual([(r["action"], r["fields"][1:])
                          for r in traced_requests], strip)
        lines = traced[2].splitlines()
        self.assertEqual(len(lines), len(traced_requests))
        seen = []
        for line in lines:
            match = self.LINE.match(line)
            self.assertTrue(match, line)
            seen.append((match.group(1), match.group(2)))
        directory = "%s/checks" % stub.dir
        a, b = directory + "/a.cfg", directory + "/b.cfg"
        expected = {("login", "200"), (a + ": login", "200"),
                    (a + " <- items: login", "200"),
                    (a + " <- items: list", "200"),
                    (a + ": show 'edge-1'", "200"),
                    (a + ": show '" + "x" * 60 + "'...", "200"),
                    (a + ": show '" + "y" * 60 + "'", "200"),
                    (a + ": show '" + "\u00e9" * 60 + "'...", "200"),
                    (b + ": login", "200"),
                    (b + ": no_such_action", "404")}
        self.assertEqual(set(seen), expected)
        self.assertNotIn(PASSWORD, traced[2])
        self.assertNotIn("cid-", traced[2])

    def test_a_failed_request_is_traced_before_the_error_line(self):
        with StubController(rules=[{"action": "show",
                                    "fault": "drop_before_status"}]) as stub:
            status, out, err = run_against(stub, {"a.cfg": CHECK},
                                           "--verbose")
        self.assertEqual((status, out), (1, "d\n"))
        lines = err.splitlines()
        self.assertRegex(lines[-2], r"^\[tarnwick\] .*/a\.cfg: show: failed "
                         r"after \d+\.\d{3} s: connection error$")
        self.assertTrue(lines[-1].startswith("tarnwick: connection error: "))


class TimeoutTest(unittest.TestCase):
    """Each row overruns a 1 s limit: the run ends with a timeout naming the
    phase, no earlier than the limit and no later than 5 s after it."""

    LIMIT = 1.0

    def timed(self, args):
        start = time.monotonic()
        result = run(args + ["--timeout", str(self.LIMIT)], timeout=TIMEOUT)
        return result, time.monotonic() - start

    def assert_timeout(self, result, elapsed, message):
        self.assertEqual(result[0], 1, result)
        self.assertEqual(result[2], "tarnwick: timeout: " + message + "\n")
        self.assertGreaterEqual(elapsed, self.LIMIT)
        self.assertLessEqual(elapsed, self.LIMIT + 5)

    def test_a_reply_that_never_comes(self):
        # On a kept connection, too, the request is sent: no connect phase.
        for options in ([], ["--reuse-connections"]):
            with self.subTest(options), StubController(
                    rules=[{"action": "show", "fault": "hang"}]) as s:
                checks = write_checks(s.dir / "checks", {"a.cfg": CHECK})
                result, elapsed = self.timed([
                    "--config_dir", checks, "--controller_ip", s.address,
                    "--password", PASSWORD, *options])
            self.assertEqual(result[1], "d\n")
            self.assert_timeout(result, elapsed,
                                "no reply from 'https://%s/v1/api' for 1 s "
                                "(in %s/a.cfg)" % (s.address, checks))

    def test_a_reply_that_stops(self):
        # The head counts as a sign of life, but not as bytes of the reply.
        for sent in (0, 5):
            with self.subTest(body_bytes=sent):
                rules = [{"action": "show", "json": {"k": "v" * 20},
                          "fault": "head_then_hang", "body_bytes": sent}]
                with StubController(rules=rules) as s:
                    checks = write_checks(s.dir / "checks", {"a.cfg": CHECK})
                    result, elapsed = self.timed([
                        "--config_dir", checks, "--controller_ip", s.address,
                        "--password", PASSWORD])
                self.assertEqual(result[1], "d\n")
                self.assert_timeout(
                    result, elapsed, "the reply from 'https://%s/v1/api' "
                    "stopped for 1 s after %d bytes (in %s/a.cfg)" %
                    (s.address, sent, checks))

    def test_a_port_that_never_answers_tls(self):
        # The connection is taken and nothing is ever said on it: the opening
        # login overruns, which is a timeout, not a failed login.
        with socket.socket() as listener, StubController() as stub:
            listener.bind(("127.0.0.1", 0))
            listener.listen(4)
            address = "127.0.0.1:%d" % listener.getsockname()[1]
            checks = write_checks(stub.dir / "checks", {"a.cfg": CHECK})
            result, elapsed = self.timed([
                "--config_dir", checks, "--controller_ip", address,
                "--password", PASSWORD])
        self.assertEqual(result[1], "")
        self.assert_timeout(result, elapsed,
                            "no connection to 'https://%s/v1/api' within 1 s"
                            % address)

    def test_a_slow_reply_that_keeps_coming_is_no_timeout(self):
        # Twenty pieces 50 ms apart take a second in all, but no 0.5 s pass
        # without a byte.
        rules = [{"action": "show", "json": {"slow": True}, "fault": "trickle"}]
        with StubController(rules=rules) as stub:
            status, out, err = run_against(stub, {"a.cfg": CHECK},
                                           "--timeout", "0.5")
        self.assertEqual((status, out, err), (0, "d\n{'slow': True}\n\n\n", ""))


if __name__ == "__main__":
    unittest.main()
