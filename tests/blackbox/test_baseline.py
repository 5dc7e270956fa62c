"""--baseline: each check's result compared with an earlier --json run, the
changes in the report, exit status 3 and the summary line."""

import json
import unittest

from harness import StubController, run, write_checks, write_files

PASSWORD = "pw"
TIMEOUT = 60

BEFORE = {
    "gateways.json": {"uptime": 100, "gateways": [
        {"name": "edge-1", "state": "up", "sessions": 4},
        {"name": "edge-2", "state": "up", "sessions": 9}]},
    "site.json": {"site": "harbour-east", "ntp": True},
}
AFTER = {
    # Another order, one state moved, one gateway gone and one new, and only
    # ignored values changed besides.
    "gateways.json": {"uptime": 160, "gateways": [
        {"name": "edge-4", "state": "up", "sessions": 1},
        {"name": "edge-2", "state": "down", "sessions": 0}]},
    "site.json": {"site": "harbour-east", "ntp": True},
}
CHECKS = {
    "gateways.cfg": "[orvantis]\naction = gateways\n[compare]\nkey = name\n"
                    "ignore = uptime, gateways[*].sessions\n",
    "site.cfg": "[orvantis]\naction = site\n",
}
ONLY = ["--only", "gateways.cfg", "--only", "site.cfg"]


class BaselineTest(unittest.TestCase):

    def setUp(self):
        self.stub = self.enterContext(StubController(BEFORE))
        self.checks = write_checks(self.stub.dir / "checks", CHECKS)
        self.last = self.stub.dir / "last.jsonl"

    def tarnwick(self, *options):
        return run(["--config_dir", self.checks, "--controller_ip",
                    self.stub.address, "--password", PASSWORD, *options],
                   timeout=TIMEOUT)

    def keep(self, *options):
        status, out, err = self.tarnwick("--json", *options)
        self.assertEqual(status, 0, err)
        self.last.write_text(out)

    def test_changes_are_shown_and_exit_3(self):
        self.keep(*ONLY)
        write_files(self.stub.dir / "replies", AFTER)
        status, out, err = self.tarnwick("--baseline", self.last, *ONLY)
        self.assertEqual(status, 3, err)
        self.assertEqual(err, "tarnwick: results changed: 1 of 2 checks: "
                         "gateways.cfg\n")
        block = out[:out.index("\n\n\n")].splitlines()
        # In this run's order, what is gone last.
        self.assertEqual(block[1:], [
            "added gateways[name=edge-4]: {'name': 'edge-4', 'sessions': 1, "
            "'state': 'up'}",
            "changed gateways[name=edge-2].state: 'up' -> 'down'",
            "removed gateways[name=edge-1]: {'name': 'edge-1', 'sessions': 4, "
            "'state': 'up'}"])
        self.assertTrue(out.endswith("}\nbaseline: unchanged\n\n\n"), out)
        status, out, err = self.tarnwick("--baseline", self.last, "--json",
                                         *ONLY)
        gateways, site = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(gateways["changes"][1], {
            "change": "changed", "path": "gateways[name=edge-2].state",
            "before": "up", "after": "down"})
        self.assertEqual([c["change"] for c in gateways["changes"]],
                         ["added", "changed", "removed"])
        self.assertEqual((gateways["compared"], site["compared"]),
                         (True, True))
        self.assertEqual(site["changes"], [])

    def test_unchanged_runs_exit_0_and_quiet_prints_nothing(self):
        self.keep(*ONLY)
        self.assertEqual(self.tarnwick("--baseline", self.last, "--quiet",
                                       *ONLY), (0, "", ""))

    def test_new_checks_errors_and_checks_not_run_are_no_changes(self):
        write_checks(self.checks, {"broken.cfg": "[orvantis]\naction = site\n"
                                                 "x = output(missing)\n"})
        status, out, _ = self.tarnwick("--json", "--keep-going", "--only",
                                       "broken.cfg")
        self.assertEqual(status, 1)
        self.assertIn('"error": ', out)
        # The earlier run also had a check that is gone now.
        self.last.write_text(out + json.dumps({
            "check": "gone.cfg", "description": None, "result": 1}) + "\n")
        write_checks(self.checks, {"broken.cfg": CHECKS["site.cfg"]})
        status, out, err = self.tarnwick("--baseline", self.last, "--only",
                                         "broken.cfg", "--only", "site.cfg")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, "{'ntp': True, 'site': 'harbour-east'}\n"
                         "baseline: not compared: the earlier run had an "
                         "error\n\n\n"
                         "{'ntp': True, 'site': 'harbour-east'}\n"
                         "baseline: new check\n\n\n")
        # Without --only, the checks of the earlier run that did not run are
        # named.
        status, out, err = self.tarnwick("--baseline", self.last)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "tarnwick: baseline: the earlier run had checks "
                         "this run did not run: gone.cfg\n")

    def test_a_bad_or_missing_baseline_sends_nothing(self):
        none = self.stub.dir / "none.jsonl"
        for content, options, message in [
                (None, [], "'%s': no such file; run once with --json to make "
                 "it" % none),
                ('{"check": "a.cfg", "result": 1}\n'
                 '{"check": "b.cfg", "requests": []}\n', [],
                 "'%s' line 2: 'requests' instead of 'result' or 'error': the "
                 "output of a dry run" % self.last),
                # Every check would be new: a change could never show.
                ('{"check": "a.cfg", "result": 1}\n', [],
                 "'%s' holds no line for any of the 2 checks of this run" %
                 self.last),
                ("", ONLY[:2], "'%s' holds no line for the check of this run" %
                 self.last),
                ('{"check": "site.cfg", "result": 1, "quiet": true}\n', [],
                 "'%s' line 1 comes from a --quiet run, which leaves out "
                 "checks that are well" % self.last)]:
            with self.subTest(content=content, options=options):
                if content is not None:
                    self.last.write_text(content)
                before = len(self.stub.requests())
                self.assertEqual(
                    self.tarnwick("--baseline",
                                  none if content is None else self.last,
                                  *options),
                    (1, "", "tarnwick: bad baseline: %s\n" % message))
                self.assertEqual(len(self.stub.requests()), before)

    def test_standard_output_as_the_baseline_sends_nothing(self):
        # tarnwick --json --baseline last.jsonl > last.jsonl: the shell
        # empties the file before the run (and >> would mix runs).
        self.keep(*ONLY)
        expected = ("tarnwick: bad baseline: standard output is '%s' itself; "
                    "write to another file and rename it\n" % self.last)
        for mode in ("w", "a"):
            with self.subTest(mode=mode), open(self.last, mode) as out:
                before = len(self.stub.requests())
                status, _, err = run(
                    ["--config_dir", self.checks, "--controller_ip",
                     self.stub.address, "--password", PASSWORD, "--json",
                     "--baseline", self.last], timeout=TIMEOUT, stdout=out)
                self.assertEqual((status, err), (1, expected))
                self.assertEqual(len(self.stub.requests()), before)

    def test_quiet_json_lines_say_so(self):
        self.keep(*ONLY)
        write_files(self.stub.dir / "replies", AFTER)
        status, out, err = self.tarnwick("--baseline", self.last, "--json",
                                         "--quiet", *ONLY)
        self.assertEqual(status, 3, err)
        line = json.loads(out)
        self.assertEqual((line["check"], line["quiet"]),
                         ("gateways.cfg", True))

    def test_the_dry_run_shows_the_comparison_plan(self):
        status, out, err = run(["--dry-run", "--config_dir", self.checks,
                                "--baseline", self.stub.dir / "none.jsonl"],
                               timeout=TIMEOUT)
        self.assertEqual(status, 1)
        self.assertIn("run once with --json", err)
        self.last.write_text('{"check": "gateways.cfg", "result": 1}\n')
        status, out, err = run(["--dry-run", "--config_dir", self.checks,
                                "--baseline", self.last, "--only",
                                "gateways.cfg"], timeout=TIMEOUT)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("\ncompare: compare by key 'name'; ignore 'uptime', "
                      "'gateways[*].sessions'\n", out)


if __name__ == "__main__":
    unittest.main()
