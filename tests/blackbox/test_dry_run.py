"""--dry-run: a check directory examined offline, as CI examines it before
a cron job runs it against a controller. No stand-in controller runs here
and standard input is empty: nothing may be asked for or sent."""

import json
import os
import tempfile
import unittest

from harness import run, write_checks

TIMEOUT = 30

VALID = {
    "simple.cfg": "[default]\ndescription = Sites\nfilters = sites, name\n"
                  "[orvantis]\naction = list_sites\nregion = north\n",
    "details.cfg": "[default]\ndescription = Details\n"
                   "filters = version & uptime\n[orvantis]\n"
                   "action = show_gateway\ngateway_name = output(names)\n"
                   "verbose = true\n",
    "names": "[default]\nfilters = gateways, name\n[orvantis]\n"
             "action = list_gateways\n",
}
TRAPS = {
    "case.cfg": "[Default]\ndescription = d\n[orvantis]\naction = a\n",
    "near.cfg": "[default]\nfilter = x\n[orvantis]\naction = a\n",
    "percent.cfg": "[default]\ndescription = CPU > 90%\n[orvantis]\n"
                   "action = a\n",
    "comma.cfg": "[default]\nfilters = gateways, name,\n[orvantis]\n"
                 "action = a\n",
    "comment.cfg": "[orvantis]\naction = list_gateways ; the action\n",
    "section.cfg": "[orvantis]\naction = a\n[expct]\nup = state == up\n",
}
ERRORS = {
    "parse.cfg": "[orvantis]\naction\n",
    "utf8.cfg": b"[orvantis]\naction = \xff\n",
    "nosection.cfg": "[default]\ndescription = none\n",
    "unreadable.cfg": "[orvantis]\naction = a\nbad = 100%\n",
    "missing.cfg": "[orvantis]\naction = a\nx = output(nowhere)\n",
    "cycle.cfg": "[orvantis]\naction = a\nx = output(cycle.cfg)\n",
}
# file: (line of the warning or error, or None where there is none, kind)
EXPECTED = {
    "case.cfg": (1, "warning"),
    "near.cfg": (2, "warning"),
    "percent.cfg": (2, "warning"),
    "comma.cfg": (2, "warning"),
    "comment.cfg": (2, "warning"),
    "section.cfg": (3, "warning"),
    "parse.cfg": (2, "check file error"),
    "utf8.cfg": (2, "check file error"),
    "nosection.cfg": (None, "missing section"),
    "unreadable.cfg": (3, "unreadable value"),
    "missing.cfg": (3, "file not found"),
    "cycle.cfg": (3, "reference cycle"),
}


class DryRunTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarnwick-dry-run.")
        self.addCleanup(lambda: os.system("rm -rf '%s'" % self.dir))

    def dry_run(self, files, *more):
        checks = write_checks(os.path.join(self.dir, "checks"), files)
        result = run(["--dry-run", "--config_dir", checks, *more],
                     timeout=TIMEOUT)
        return (checks,) + result

    def test_every_trap_and_error_is_named_with_its_file_and_line(self):
        checks, status, out, err = self.dry_run({**VALID, **TRAPS, **ERRORS})
        self.assertEqual(status, 1, err)
        lines = err.splitlines()
        for name, (line, kind) in EXPECTED.items():
            with self.subTest(name):
                where = "%s/%s" % (checks, name)
                if line is not None:
                    where += ":%d" % line
                self.assertTrue(
                    any(l.startswith("tarnwick: %s: " % kind) and where in l
                        for l in lines), "%s not in\n%s" % (where, err))
        failed = sorted(n for n in ERRORS)
        self.assertTrue(lines[-1].startswith(
            "tarnwick: checks failed: 6 of %d: " % (2 + len(TRAPS) + 6)),
            lines[-1])
        self.assertEqual(sorted(lines[-1].split(": ", 3)[3].split(", ")),
                         failed)
        # The valid checks show what they would send, fields in order.
        self.assertIn("Sites\nrequest simple.cfg: CID=<session id>, "
                      "action='list_sites', region='north'\n"
                      "filters: 'sites', 'name'\n\n\n", out)
        self.assertIn("Details\nrequest names: CID=<session id>, "
                      "action='list_gateways'; filters 'gateways', 'name'\n"
                      "request details.cfg, once per element: CID=<session "
                      "id>, action='show_gateway', gateway_name=<each element "
                      "of names>, verbose='true'\n"
                      "filters: 'version & uptime'\n\n\n", out)

    def test_warnings_alone_do_not_fail_the_run(self):
        checks, status, out, err = self.dry_run({**VALID, **TRAPS})
        self.assertEqual(status, 0, err)
        self.assertEqual(len(err.splitlines()), len(TRAPS))
        self.assertTrue(all(l.startswith("tarnwick: warning: %s/" % checks)
                            for l in err.splitlines()), err)
        self.assertEqual(out.count("\n\n\n"), 2 + len(TRAPS))
        self.assertIn("/section.cfg:3: section 'expct' is not read; did you "
                      "mean '[expect]'?\n", err)

    def test_strict_counts_every_warning_as_an_error(self):
        checks, status, out, err = self.dry_run({**VALID, **TRAPS},
                                                "--strict")
        self.assertEqual(status, 1, err)
        self.assertEqual(err.splitlines()[-1], "tarnwick: strict: %d warnings "
                         "count as errors" % len(TRAPS))
        self.assertEqual(out.count("\n\n\n"), 2 + len(TRAPS))
        status, out, err = run(["--strict", "--config_dir", checks],
                               timeout=TIMEOUT)
        self.assertEqual((status, out), (2, ""))
        self.assertTrue(err.endswith("tarnwick: error: option '--strict' only "
                                     "goes with '--dry-run'\n"), err)

    def test_strict_reads_every_expect_and_compare_section(self):
        files = {**VALID,
                 "expect.cfg": "[orvantis]\naction = a\n[expect]\n"
                               "up = state ==\n",
                 "compare.cfg": "[orvantis]\naction = a\n[compare]\n"
                                "colour = blue\n"}
        checks, status, out, err = self.dry_run(files)
        self.assertEqual((status, err), (0, ""))
        checks, status, out, err = self.dry_run(files, "--strict")
        self.assertEqual(status, 1, err)
        lines = sorted(err.splitlines())
        self.assertEqual(len(lines), 3, err)
        self.assertTrue(lines[0].startswith(
            "tarnwick: bad expectation: 'up': "), err)
        self.assertIn("(in %s/expect.cfg:4)" % checks, lines[0])
        self.assertEqual(lines[1], "tarnwick: check file error: %s/compare.cfg:"
                         "4: unknown key 'colour' in section 'compare'; its "
                         "keys are 'key' and 'ignore'" % checks)
        self.assertTrue(lines[2].startswith("tarnwick: checks failed: 2 of 4: "),
                        err)
        # The plan shows the sections only as asked.
        self.assertNotIn("expect ", out)

    def test_a_list_after_equals_is_a_warning(self):
        # "== up, down" compares with the one text "up, down".
        checks, status, out, err = self.dry_run(
            {"list.cfg": "[orvantis]\naction = a\n[expect]\n"
                         "one = state == up\nboth = state == up, down\n"
                         "text = state == \"up, down\"\n"}, "--expect")
        self.assertEqual((status, err), (0, (
            f"tarnwick: warning: {checks}/list.cfg:5: 'both': '== up, down' "
            "compares with the one text 'up, down'; for any of them write "
            "'in up, down'\n")))

    def test_a_directory_without_check_files_is_a_warning(self):
        near_misses = {"a.CFG": VALID["simple.cfg"],
                       "b.cfg.bak": VALID["simple.cfg"], "notes": ""}
        for files in (near_misses, {}):
            checks = write_checks(os.path.join(self.dir, "c%d" % len(files)),
                                  files)
            warning = ("tarnwick: warning: no check files in '%s' (entries "
                       "ending in .cfg)" % checks)
            for strict in (False, True):
                with self.subTest(files=sorted(files), strict=strict):
                    status, out, err = run(
                        ["--dry-run", "--config_dir", checks] +
                        (["--strict"] if strict else []), timeout=TIMEOUT)
                    self.assertEqual((status, out), (1 if strict else 0, ""))
                    first = err.splitlines()[0]
                    self.assertTrue(first.startswith(warning), err)
                    if files:
                        self.assertIn("; near misses: ", first)
                        self.assertIn("'a.CFG'", first)
                        self.assertIn("'b.cfg.bak'", first)
                        self.assertNotIn("notes", first)

    def test_json_gives_one_object_per_check(self):
        checks, status, out, err = self.dry_run(
            {**VALID, "missing.cfg": ERRORS["missing.cfg"]}, "--json",
            "--only", "details.cfg", "--only", "missing.cfg")
        self.assertEqual(status, 1, err)
        details, missing = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(details, {
            "check": "details.cfg", "description": "Details",
            "requests": [
                {"check": "names",
                 "fields": [["CID", {"session": True}],
                            ["action", "list_gateways"]],
                 "filters": ["gateways", "name"], "once_per_element": False},
                {"check": "details.cfg",
                 "fields": [["CID", {"session": True}],
                            ["action", "show_gateway"],
                            ["gateway_name", {"each_element_of": "names"}],
                            ["verbose", "true"]],
                 "filters": ["version & uptime"], "once_per_element": True}],
            "filters": ["version & uptime"]})
        self.assertEqual(missing["error"]["kind"], "file not found")

    def test_a_missing_check_directory_is_an_error_as_in_a_run(self):
        status, out, err = run(["--dry-run", "--config_dir",
                                os.path.join(self.dir, "nowhere")],
                               timeout=TIMEOUT)
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.startswith("tarnwick: file not found: cannot list "
                                       "the check directory "), err)


if __name__ == "__main__":
    unittest.main()
