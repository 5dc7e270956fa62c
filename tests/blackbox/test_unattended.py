"""Runs from cron and CI: --keep-going past broken checks, the JSON Lines
report of --json, --only for chosen checks, and --version.

Without these options everything is as the other tests show; here each
option runs alone and --keep-going with --json.
"""

import json
import os
import unittest

from harness import StubController, run, write_checks

PASSWORD = "pw"
TIMEOUT = 60
REPLY_TEXT = ('{"zeta": 1, "alpha": [12345678901234567890123, -0.0, 2.5e-07, '
              '1e+300], "mid": {"b": null, "a": true, "\\u00e9\\ud800": '
              '"x\\"\\n\\u001f"}, "empty": {}}')
CHECKS = {
    "a.cfg": "[default]\ndescription = A\n[orvantis]\naction = full\n",
    # A reference to a file that is not there: fails after its login.
    "b.cfg": "[orvantis]\naction = show\nx = output(missing)\n",
    # One row lacks the key a single-key filter asks for.
    "c.cfg": "[default]\ndescription = C\nfilters = rows, name\n"
             "[orvantis]\naction = rows\n",
    "d.cfg": "[orvantis]\naction = small\n",
}
REPLIES = {"full.json": REPLY_TEXT,
           "rows.json": {"rows": [{"name": "r1"}, {"other": 2}]},
           "small.json": {"n": 1}}


def refuse(constant):
    raise ValueError("not JSON: " + constant)


def pairs_of(pairs):
    return [list(pair) for pair in pairs]


def read_lines(out):
    """The JSON Lines of out, each parsed with NaN and Infinity refused and
    maps as lists of pairs, so that their order counts."""
    assert out.endswith("\n"), out
    return [json.loads(line, parse_constant=refuse,
                       object_pairs_hook=pairs_of)
            for line in out.splitlines()]


def as_pairs(text):
    return json.loads(text, object_pairs_hook=pairs_of)


class UnattendedTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.stub = cls.enterClassContext(StubController(
            REPLIES, [{"action": "login", "nth": 99, "json": {"nope": 1}}]))
        cls.checks = write_checks(cls.stub.dir / "checks", CHECKS)
        # The run goes by the listing: find out what it is.
        cls.listed = [n for n in os.listdir(cls.checks) if n.endswith(".cfg")]

    def run_with(self, *options):
        before = len(self.stub.requests())
        result = run(["--config_dir", self.checks, "--controller_ip",
                      self.stub.address, "--password", PASSWORD, *options],
                     timeout=TIMEOUT)
        return result, self.stub.requests()[before:]

    def path(self, name):
        return "%s/%s" % (self.checks, name)

    def failure(self, name):
        """The error line of a check that fails, without "tarnwick: "."""
        if name == "b.cfg":
            return ("file not found: no such file: '%s' (in %s)" %
                    (self.path("missing"), self.path("b.cfg")))
        return ("missing key: 'name' is missing from list element 2 of 2 "
                "(in %s)" % self.path("c.cfg"))

    def test_keep_going_runs_every_check_and_sums_up(self):
        (status, out, err), requests = self.run_with("--keep-going")
        blocks = {
            "a.cfg": "A\n" + "{'alpha': [12345678901234567890123, -0.0, "
                     "2.5e-07, 1e+300], 'empty': {}, 'mid': {'a': True, 'b': "
                     "None, '\u00e9\\ud800': 'x\"\\n\\x1f'}, 'zeta': 1}\n\n\n",
            "b.cfg": "ERROR: %s\n\n\n" % self.failure("b.cfg"),
            "c.cfg": "C\nERROR: %s\n\n\n" % self.failure("c.cfg"),
            "d.cfg": "{'n': 1}\n\n\n",
        }
        failed = [n for n in self.listed if n in ("b.cfg", "c.cfg")]
        self.assertEqual(status, 1, err)
        self.assertEqual(out, "".join(blocks[n] for n in self.listed))
        self.assertEqual(err, "".join("tarnwick: %s\n" % self.failure(n)
                                      for n in failed) +
                         "tarnwick: checks failed: 2 of 4: %s\n" %
                         ", ".join(failed))
        self.assertEqual(sum(r["action"] == "login" for r in requests), 5)

    def test_a_failed_login_still_ends_a_keep_going_run(self):
        rules = [{"action": "login", "nth": 3, "json": {"error": "locked"}}]
        with StubController(REPLIES, rules) as stub:
            status, out, err = run([
                "--config_dir", self.checks, "--controller_ip", stub.address,
                "--password", PASSWORD, "--keep-going", "--only", "b.cfg",
                "--only", "a.cfg", "--only", "d.cfg"], timeout=TIMEOUT)
            actions = [r["action"] for r in stub.requests()]
        self.assertEqual(status, 1)
        self.assertEqual(out, "ERROR: %s\n\n\nA\nLogin failed\n" %
                         self.failure("b.cfg"))
        lines = err.splitlines()
        self.assertEqual(lines[0], "tarnwick: " + self.failure("b.cfg"))
        self.assertTrue(lines[1].startswith("tarnwick: login failed: "))
        self.assertEqual(lines[2], "tarnwick: checks failed: 1 of 3: b.cfg")
        self.assertEqual(actions, ["login", "login", "login"])

    def test_json_lines_give_back_the_reply(self):
        (status, out, err), _ = self.run_with("--json", "--only", "a.cfg",
                                              "--only", "d.cfg")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(read_lines(out), [
            [["check", "a.cfg"], ["description", "A"],
             ["result", as_pairs(REPLY_TEXT)]],
            [["check", "d.cfg"], ["description", None],
             ["result", [["n", 1]]]]])

    def test_json_with_keep_going_reports_failures_as_lines(self):
        (status, out, err), _ = self.run_with("--json", "--keep-going")
        self.assertEqual(status, 1)
        lines = {line[0][1]: line for line in read_lines(out)}
        self.assertEqual(sorted(lines), sorted(self.listed))
        self.assertEqual(lines["c.cfg"], [
            ["check", "c.cfg"], ["description", "C"],
            ["error", [["kind", "missing key"],
                       ["message", self.failure("c.cfg")[len("missing key: "):]]
                       ]]])
        self.assertEqual(lines["b.cfg"][2][1][0], ["kind", "file not found"])
        self.assertTrue(err.endswith(": b.cfg, c.cfg\n") or
                        err.endswith(": c.cfg, b.cfg\n"), err)

    def test_json_without_keep_going_ends_with_the_failed_check(self):
        (status, out, err), _ = self.run_with("--json", "--only", "d.cfg",
                                              "--only", "c.cfg", "--only",
                                              "a.cfg")
        self.assertEqual(status, 1)
        self.assertEqual([line[0][1] for line in read_lines(out)],
                         ["d.cfg", "c.cfg"])
        self.assertEqual(err, "tarnwick: %s\n" % self.failure("c.cfg"))

    def test_only_sends_the_named_checks_in_order(self):
        (status, out, err), requests = self.run_with(
            "--only", "d.cfg", "--onl=a.cfg", "--only", "d.cfg")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, "{'n': 1}\n\n\n" + out[out.index("A\n"):])
        self.assertEqual([r["action"] for r in requests],
                         ["login", "login", "small", "login", "full",
                          "login", "small"])

    def test_only_a_name_that_is_no_check_file_sends_nothing(self):
        hints = {"missing": "", "d": "; did you mean 'd.cfg'?"}
        for name, hint in hints.items():
            with self.subTest(name):
                (status, out, err), requests = self.run_with("--only", name)
                self.assertEqual((status, out), (1, ""))
                self.assertEqual(err, "tarnwick: file not found: no such "
                                 "file: '%s'%s\n" % (self.path(name), hint))
                self.assertEqual(requests, [])

    def test_version_sends_nothing_and_asks_nothing(self):
        before = len(self.stub.requests())
        status, out, err = run(["--version"], timeout=TIMEOUT)
        self.assertEqual((status, err), (0, ""))
        lines = out.splitlines()
        self.assertRegex(lines[0], r"^tarnwick \d+\.\d+\.\d+$")
        self.assertRegex(lines[1], r"^libcurl \d+\.\d+")
        self.assertEqual(len(self.stub.requests()), before)


class FailHttpTest(unittest.TestCase):
    """--fail-http fails a check whose request gets an error status."""

    CHECKS = {
        "typo.cfg": "[orvantis]\naction = lst_gateways\n",
        "broken.cfg": "[orvantis]\naction = broken\n",
        "details.cfg": "[orvantis]\naction = show\nname = output(names)\n",
        "names": "[orvantis]\naction = names\n",
        "at400.cfg": "[orvantis]\naction = at400\n",
        "at399.cfg": "[orvantis]\naction = at399\n",
    }
    REPLIES = {"broken.json": {"ok": False}, "names.json": ["gw-1", "gw-2"],
               "show.json": {"up": True}, "at400.json": {"n": 400},
               "at399.json": {"n": 399}}
    RULES = [{"action": "broken", "status": 500},
             {"action": "at400", "status": 400},
             {"action": "at399", "status": 399},
             {"action": "show", "fields": {"name": "gw-2"}, "status": 503,
              "json": {"error": "gateway pw busy"}}]

    def test_error_statuses_fail_the_check_only_when_asked(self):
        with StubController(self.REPLIES, self.RULES) as stub:
            checks = write_checks(stub.dir / "checks", self.CHECKS)
            cases = [
                ("typo.cfg", "{'error': 'unknown action'}",
                 "the controller answered action 'lst_gateways' with HTTP 404 "
                 "application/json, body begins '{\"error\": \"unknown "
                 "action\"}' (in %s/typo.cfg)" % checks),
                ("broken.cfg", "{'ok': False}",
                 "the controller answered action 'broken' with HTTP 500 "
                 "application/json, body begins '{\"ok\": false}' (in "
                 "%s/broken.cfg)" % checks),
                ("details.cfg", "[{'object': 'gw-1', 'results': {'up': True}}, "
                 "{'object': 'gw-2', 'results': {'error': 'gateway pw busy'}}]",
                 "the controller answered action 'show' with HTTP 503 "
                 "application/json, body begins '{\"error\": \"gateway *** "
                 "busy\"}' (in %s/details.cfg, element 2 of 2 'gw-2')" % checks),
                # The first status that fails, and the last that does not.
                ("at400.cfg", "{'n': 400}",
                 "the controller answered action 'at400' with HTTP 400 "
                 "application/json, body begins '{\"n\": 400}' (in "
                 "%s/at400.cfg)" % checks),
                ("at399.cfg", "{'n': 399}", None),
            ]
            for check, report, message in cases:
                args = ["--config_dir", checks, "--controller_ip",
                        stub.address, "--password", PASSWORD, "--only", check]
                with self.subTest(check=check):
                    self.assertEqual(run(args, timeout=TIMEOUT),
                                     (0, report + "\n\n\n", ""))
                    self.assertEqual(
                        run(args + ["--fail-http"], timeout=TIMEOUT),
                        (0, report + "\n\n\n", "") if message is None else
                        (1, "", "tarnwick: http error: %s\n" % message))


class PartialResultsTest(unittest.TestCase):
    """With --keep-going a compound check loses a failed element, not all."""

    def test_good_records_stay_and_the_failed_element_is_named(self):
        checks = {"details.cfg": FailHttpTest.CHECKS["details.cfg"],
                  "names": FailHttpTest.CHECKS["names"]}
        replies = {"names.json": ["gw-1", "gw-2", "gw-3"],
                   "show.json": {"up": True}}
        rules = [{"action": "show", "fields": {"name": "gw-2"},
                  "status": 504, "content_type": "text/html",
                  "body": "<html>gateway timeout</html>"}]
        with StubController(replies, rules) as stub:
            directory = write_checks(stub.dir / "checks", checks)
            args = ["--config_dir", directory, "--controller_ip",
                    stub.address, "--password", PASSWORD, "--only",
                    "details.cfg"]
            status, out, err = run(args + ["--keep-going"], timeout=TIMEOUT)
            json_status, json_out, _ = run(args + ["--keep-going", "--json"],
                                           timeout=TIMEOUT)
            whole_status, whole_out, whole_err = run(args, timeout=TIMEOUT)
        named = "(in %s/details.cfg, element 2 of 3 'gw-2')" % directory
        records, error, rest = out.split("\n", 2)
        self.assertEqual(records, "[{'object': 'gw-1', 'results': {'up': "
                         "True}}, {'object': 'gw-3', 'results': {'up': True}}]")
        self.assertTrue(error.startswith("ERROR: invalid reply: reply is not "
                                         "JSON: "), error)
        self.assertTrue(error.endswith(named), error)
        self.assertEqual((status, rest), (1, "\n\n"))
        self.assertEqual(err, "tarnwick: %s\ntarnwick: checks failed: 1 of 1: "
                         "details.cfg\n" % error[len("ERROR: "):])
        [line] = read_lines(json_out)
        self.assertEqual(json_status, 1)
        self.assertEqual([pair[0] for pair in line],
                         ["check", "description", "result", "error"])
        self.assertEqual(line[2][1][1][0], ["object", "gw-2"])
        self.assertEqual(line[2][1][1][1][1][0], ["kind", "invalid reply"])
        self.assertEqual(line[3][1], [["kind", "partial"],
                                      ["message", "1 of 3 elements failed"]])
        # Without --keep-going the check fails wholly, as ever.
        self.assertEqual((whole_status, whole_out), (1, ""))
        self.assertTrue(whole_err.startswith("tarnwick: invalid reply: "))
        self.assertTrue(whole_err.endswith(named + "\n"), whole_err)


class QuietTest(unittest.TestCase):
    """--quiet shows only the checks that need attention."""

    def test_only_failed_checks_are_shown(self):
        with StubController(REPLIES) as stub:
            checks = write_checks(stub.dir / "checks", CHECKS)
            base = ["--config_dir", checks, "--controller_ip", stub.address,
                    "--password", PASSWORD, "--quiet"]
            well = ["--only", "a.cfg", "--only", "d.cfg"]
            self.assertEqual(run(base + well, timeout=TIMEOUT), (0, "", ""))
            self.assertEqual(run(base + well + ["--json"], timeout=TIMEOUT),
                             (0, "", ""))
            status, out, err = run(base + well + ["--only", "c.cfg",
                                                  "--keep-going"],
                                   timeout=TIMEOUT)
            self.assertEqual((status, out), (1, "C\nERROR: missing key: "
                                             "'name' is missing from list "
                                             "element 2 of 2 (in %s/c.cfg)"
                                             "\n\n\n" % checks))
            self.assertTrue(err.endswith("checks failed: 1 of 3: c.cfg\n"))
            status, out, err = run(base + ["--only", "c.cfg", "--only",
                                           "d.cfg", "--json"], timeout=TIMEOUT)
            self.assertEqual(status, 1)
            self.assertEqual([line[0][1] for line in read_lines(out)],
                             ["c.cfg"])


if __name__ == "__main__":
    unittest.main()
