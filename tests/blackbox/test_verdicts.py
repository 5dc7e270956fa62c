"""--expect: each check judged against the [expect] section of its file, the
verdicts in the report, exit status 3 and the summary line."""

import json
import unittest

from harness import StubController, run, write_checks

PASSWORD = "pw"
TIMEOUT = 60

REPLIES = {
    "list_gateways.json": {"gateways": [
        {"name": "gw-paris", "state": "up", "version": "7.4.2"},
        {"name": "gw-lyon", "state": "down", "version": "7.3.1"},
        {"name": "gw-nice", "version": "7.4.0"}]},
    "list_alarms.json": {"alarms": [{"severity": "minor"},
                                    {"severity": "critical"}]},
    "site.json": {"cpu_load": 0.37, "ntp_synced": True, "last_backup": None},
}
CHECKS = {
    "gateways.cfg": "[default]\ndescription = Gateways\n[orvantis]\n"
                    "action = list_gateways\n[expect]\n"
                    "all_up = gateways[*].state == up\n"
                    "release = gateways[name=gw-paris].version ~ "
                    "7\\.4\\.[0-9]+\n"
                    "enough = count gateways[*] >= 2\n",
    "alarms.cfg": "[default]\nfilters = alarms\n[orvantis]\n"
                  "action = list_alarms\n[expect]\n"
                  "no_crit = [severity=critical] absent\n"
                  "known = every [*].severity in minor, critical\n",
    "site.cfg": "[orvantis]\naction = site\n[expect]\ncpu = cpu_load < 0.8\n"
                "ntp = ntp_synced == true\nbackup = last_backup == null\n",
}
GATEWAYS_BLOCK = (
    "Gateways\n{'gateways': [{'name': 'gw-paris', 'state': 'up', 'version': "
    "'7.4.2'}, {'name': 'gw-lyon', 'state': 'down', 'version': '7.3.1'}, "
    "{'name': 'gw-nice', 'version': '7.4.0'}]}\n"
    "expect all_up: FAILS: gateways[name=gw-lyon].state is 'down', "
    "gateways[name=gw-nice].state is absent (expected == up)\n"
    "expect release: holds\n"
    "expect enough: holds\n\n\n")
ALARMS_BLOCK = (
    "[{'severity': 'minor'}, {'severity': 'critical'}]\n"
    "expect no_crit: FAILS: [1] is {'severity': 'critical'} (expected "
    "absent)\n"
    "expect known: holds\n\n\n")
SITE_BLOCK = ("{'cpu_load': 0.37, 'last_backup': None, 'ntp_synced': True}\n"
              "expect cpu: holds\nexpect ntp: holds\nexpect backup: holds\n"
              "\n\n")


class VerdictsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.stub = cls.enterClassContext(StubController(REPLIES))
        cls.checks = write_checks(cls.stub.dir / "checks", CHECKS)

    def run_with(self, *options, only=("gateways.cfg", "alarms.cfg",
                                       "site.cfg")):
        before = len(self.stub.requests())
        args = ["--config_dir", self.checks, "--controller_ip",
                self.stub.address, "--password", PASSWORD, *options]
        for name in only:
            args += ["--only", name]
        result = run(args, timeout=TIMEOUT)
        return result, self.stub.requests()[before:]

    def test_failed_expectations_are_shown_and_exit_3(self):
        (status, out, err), _ = self.run_with("--expect")
        self.assertEqual(out, GATEWAYS_BLOCK + ALARMS_BLOCK + SITE_BLOCK)
        self.assertEqual((status, err), (3, (
            "tarnwick: expectations failed: 2 in 2 of 3 checks: gateways.cfg "
            "(all_up), alarms.cfg (no_crit)\n")))

    def test_json_lines_carry_the_verdicts(self):
        (status, out, err), _ = self.run_with("--expect", "--json",
                                              only=("gateways.cfg",))
        self.assertEqual(status, 3, err)
        line = json.loads(out)
        self.assertEqual(list(line), ["check", "description", "result",
                                      "expectations"])
        self.assertEqual(line["expectations"], [
            {"name": "all_up", "expect": "gateways[*].state == up",
             "holds": False, "selected": 2,
             "found": [{"path": "gateways[name=gw-lyon].state",
                        "value": "down"},
                       {"path": "gateways[name=gw-nice].state"}]},
            {"name": "release",
             "expect": "gateways[name=gw-paris].version ~ 7\\.4\\.[0-9]+",
             "holds": True, "selected": 1, "found": []},
            {"name": "enough", "expect": "count gateways[*] >= 2",
             "holds": True, "selected": 3, "found": []}])

    def test_without_the_option_the_section_is_not_read(self):
        (status, out, err), _ = self.run_with()
        self.assertEqual((status, err), (0, ""))
        self.assertNotIn("expect ", out)

    def test_quiet_shows_only_the_checks_that_need_attention(self):
        (status, out, err), _ = self.run_with("--expect", "--quiet")
        self.assertEqual((status, out), (3, GATEWAYS_BLOCK + ALARMS_BLOCK))
        (status, out, err), _ = self.run_with("--expect", "--quiet",
                                              only=("site.cfg",))
        self.assertEqual((status, out, err), (0, "", ""))

    def test_a_failed_check_beside_a_failed_expectation_exits_1(self):
        broken = write_checks(self.stub.dir / "broken", {
            **CHECKS, "broken.cfg": "[orvantis]\naction = a\n"
                                    "x = output(missing)\n[expect]\n"
                                    "up = state == up\n"})
        before = len(self.stub.requests())
        status, out, err = run(
            ["--config_dir", broken, "--controller_ip", self.stub.address,
             "--password", PASSWORD, "--expect", "--keep-going",
             "--only", "gateways.cfg", "--only", "broken.cfg"],
            timeout=TIMEOUT)
        self.assertEqual(status, 1)
        self.assertTrue(out.startswith(GATEWAYS_BLOCK), out)
        self.assertTrue(out.endswith(
            "\nexpect up: not judged: the check failed\n\n\n"), out)
        lines = err.splitlines()
        self.assertTrue(lines[0].startswith("tarnwick: file not found: "))
        self.assertEqual(lines[1:], [
            "tarnwick: checks failed: 1 of 2: broken.cfg",
            "tarnwick: expectations failed: 1 in 1 of 2 checks: gateways.cfg "
            "(all_up)"])
        self.assertGreater(len(self.stub.requests()), before)

    def test_a_misspelled_section_is_named_once_per_file(self):
        typo = self.stub.dir / "typo"
        last = self.stub.dir / "typo.jsonl"
        last.write_text(json.dumps({"check": "typo.cfg",
                                    "result": REPLIES["site.json"]}) + "\n")
        for header, options, warning in [
                ("Expect", ["--expect"], "section 'Expect' is not read: "
                 "section names are exact; did you mean 'expect'?"),
                ("expct", ["--expect"], "section 'expct' is not read; did you "
                 "mean '[expect]'?"),
                ("Compare", ["--baseline", last], "section 'Compare' is not "
                 "read: section names are exact; did you mean 'compare'?"),
                # Not a section these options read.
                ("Compare", ["--expect"], None),
                ("Expect", ["--baseline", last], None)]:
            with self.subTest(header=header, options=options):
                write_checks(typo, {"typo.cfg": "[orvantis]\naction = site\n"
                                    "[%s]\ncpu = cpu_load < 0.8\n" % header})
                status, out, err = run(
                    ["--config_dir", typo, "--controller_ip",
                     self.stub.address, "--password", PASSWORD, *options,
                     "--only", "typo.cfg", "--only", "typo.cfg"],
                    timeout=TIMEOUT)
                self.assertEqual(status, 0, err)
                self.assertEqual(
                    err, "" if warning is None else
                    "tarnwick: warning: %s/typo.cfg:3: %s\n" % (typo, warning))

    def test_an_error_body_is_nothing_to_look_in(self):
        # An expired session's reply: no alarms list, so no "no critical
        # alarm" either.
        with StubController({"list_alarms.json": {"error": "invalid CID"}}) \
                as stub:
            checks = write_checks(stub.dir / "checks", {"alarms.cfg": (
                "[orvantis]\naction = list_alarms\n[expect]\n"
                "no_crit = alarms[severity=critical] absent\n"
                "none = count alarms[*] == 0\n"
                "known = every alarms[*].severity in minor, warning\n"
                "backup = last_backup absent\n")})
            status, out, err = run(
                ["--config_dir", checks, "--controller_ip", stub.address,
                 "--password", PASSWORD, "--expect"], timeout=TIMEOUT)
        self.assertEqual(status, 3, err)
        self.assertEqual(out, (
            "{'error': 'invalid CID'}\n"
            "expect no_crit: FAILS: nothing to look in: alarms is absent "
            "(expected absent)\n"
            "expect none: FAILS: nothing to look in: alarms is absent "
            "(expected == 0)\n"
            "expect known: FAILS: nothing to look in: alarms is absent "
            "(expected in minor, warning)\n"
            "expect backup: holds\n\n\n"))

    def test_paths_of_partial_records_point_at_the_records_printed(self):
        # gw-2's request fails under --keep-going; its record stays in its
        # place in the JSON line's result, and the paths index that list,
        # where an element's object does not name it alone.
        replies = {"names.json": ["gw-1", "gw-2", "gw 3"],
                   "twice.json": ["a", "gw-2", "a"],
                   "show.json": {"up": True}}
        rules = [{"action": "show", "fields": {"name": "gw-2"},
                  "status": 504, "content_type": "text/html",
                  "body": "<html>gateway timeout</html>"},
                 {"action": "show", "fields": {"name": "gw 3"},
                  "json": {"up": False}},
                 {"action": "show", "fields": {"name": "a"},
                  "json": {"up": False}}]
        checks = {"details.cfg": "[orvantis]\naction = show\n"
                                 "name = output(names)\n[expect]\n"
                                 "up = every [*].results.up == true\n",
                  "twice.cfg": "[orvantis]\naction = show\n"
                               "name = output(twice)\n[expect]\n"
                               "up = every [*].results.up == true\n",
                  "names": "[orvantis]\naction = names\n",
                  "twice": "[orvantis]\naction = twice\n"}
        with StubController(replies, rules) as stub:
            directory = write_checks(stub.dir / "checks", checks)
            status, out, err = run(
                ["--config_dir", directory, "--controller_ip", stub.address,
                 "--password", PASSWORD, "--expect", "--keep-going",
                 "--json"], timeout=TIMEOUT)
        self.assertEqual(status, 1, err)
        lines = {line["check"]: line for line in map(json.loads,
                                                     out.splitlines())}
        [details] = lines["details.cfg"]["expectations"]
        self.assertEqual(details["found"], [
            {"path": '[object="gw 3"].results.up', "value": False}])
        twice = lines["twice.cfg"]
        self.assertEqual([f["path"] for f in twice["expectations"][0]["found"]],
                         ["[0].results.up", "[2].results.up"])
        self.assertEqual([r["object"] for r in twice["result"]],
                         ["a", "gw-2", "a"])
        self.assertIn("error", twice["result"][1])

    def test_a_bad_expectation_fails_its_check_before_its_login(self):
        bad = write_checks(self.stub.dir / "bad", {
            "site.cfg": CHECKS["site.cfg"],
            "bad.cfg": "[orvantis]\naction = site\n[expect]\nok = x == 1\n"
                       "cpu = load < high\n"})
        before = len(self.stub.requests())
        status, out, err = run(
            ["--config_dir", bad, "--controller_ip", self.stub.address,
             "--password", PASSWORD, "--expect", "--only", "bad.cfg",
             "--only", "site.cfg"], timeout=TIMEOUT)
        actions = [r["action"] for r in self.stub.requests()[before:]]
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err, "tarnwick: bad expectation: 'cpu': '<' needs a "
                         "number, not 'high' in 'load < high' (in %s/bad.cfg:"
                         "5)\n" % bad)
        self.assertEqual(actions, ["login"])
        # The dry run finds it too, and shows the good ones in the plan.
        status, out, err = run(["--dry-run", "--expect", "--config_dir", bad],
                               timeout=TIMEOUT)
        self.assertEqual(status, 1)
        self.assertIn("filters: none, the whole reply\nexpect cpu: cpu_load < "
                      "0.8\nexpect ntp: ntp_synced == true\n", out)
        self.assertIn("(in %s/bad.cfg:5)" % bad, err)


if __name__ == "__main__":
    unittest.main()
