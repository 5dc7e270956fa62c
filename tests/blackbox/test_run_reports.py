"""The reports of a run's end: --report-junit and --metrics files, and
--nagios, the command as a monitoring plugin."""

import os
import pathlib
import re
import signal
import subprocess
import unittest

from harness import (StubController, clean_env, run, tarnwick_bin, wait_for,
                     write_checks)

PASSWORD = "pw"
TIMEOUT = 60
DATA = pathlib.Path(__file__).resolve().parents[1] / "data"

REPLIES = {
    # A fixed login reply, so that the reply bytes are the same every run.
    "login.json": {"CID": "c1"},
    "site.json": {"cpu_load": 0.37},
    "list_gateways.json": {"gateways": [{"name": "gw-1", "state": "up"},
                                        {"name": "gw-2", "state": "down"}]},
    "names.json": ["gw-1", "gw-2"],
    "show.json": {"up": True},
}
# The second gateway's details are not JSON (partial results), nor is the
# reply to "broken" (a failed check).
RULES = [{"action": "show", "fields": {"name": "gw-2"},
          "body": "<html>busy</html>", "content_type": "text/html"},
         {"action": "broken", "body": "oops\u0007"}]
CHECKS = {
    "site.cfg": "[default]\ndescription = Site <&> \"load\"\n[orvantis]\n"
                "action = site\n[expect]\ncpu = cpu_load < 0.8\n",
    "gateways.cfg": "[orvantis]\naction = list_gateways\n[expect]\n"
                    "all_up = gateways[*].state == up\n"
                    "enough = count gateways[*] >= 2\n",
    "broken.cfg": "[orvantis]\naction = broken\n[expect]\n"
                  "low = memory < 0.9\n",
    "details.cfg": "[orvantis]\naction = show\nname = output(names)\n"
                   "[expect]\nall_up = every [*].results.up == true\n",
    "names": "[orvantis]\naction = names\n",
    # Two expectations that do not hold in one check.
    "down.cfg": "[orvantis]\naction = list_gateways\n[expect]\n"
                "up = gateways[*].state == up\n"
                "ready = count gateways[*] > 5\n",
}
# A holding check (twice), a failed expectation, a failed check and partial
# results.
ORDER = ["site.cfg", "gateways.cfg", "broken.cfg", "details.cfg", "site.cfg"]


def only(names):
    return [a for name in names for a in ("--only", name)]


class RunReportsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.stub = cls.enterClassContext(StubController(REPLIES, RULES))
        cls.checks = write_checks(cls.stub.dir / "checks", CHECKS)

    def setUp(self):
        self.out = self.stub.dir / ("out-" + self._testMethodName)
        self.out.mkdir()

    def tarnwick(self, *options, names=ORDER, password=PASSWORD):
        before = len(self.stub.requests())
        result = run(["--config_dir", self.checks, "--controller_ip",
                      self.stub.address, "--password", password, "--expect",
                      "--keep-going", *options, *only(names)],
                     timeout=TIMEOUT)
        return result, self.stub.requests()[before:]

    def normalised(self, text):
        text = text.replace(self.stub.address, "CONTROLLER")
        text = text.replace(str(self.checks), "CHECKS")
        text = re.sub(r'(time|timestamp)="[^"]*"', r'\1="T"', text)
        return re.sub(r"^(tarnwick_\w*(duration|timestamp)_seconds\{.*\}) .*$",
                      r"\1 T", text, flags=re.M)

    def test_both_files_of_one_run(self):
        junit, metrics = self.out / "run.xml", self.out / "run.prom"
        # An earlier run in which the second gateway was up: a changed result.
        baseline = self.out / "last.jsonl"
        baseline.write_text(
            '{"check": "gateways.cfg", "result": {"gateways": [{"name": '
            '"gw-1", "state": "up"}, {"name": "gw-2", "state": "up"}]}}\n'
            '{"check": "site.cfg", "result": {"cpu_load": 0.37}}\n')
        (status, out, err), _ = self.tarnwick(
            "--report-junit", junit, "--metrics", metrics, "--baseline",
            baseline)
        self.assertEqual(status, 1, err)
        for path, golden in ((junit, "run_reports.xml"),
                             (metrics, "run_reports.prom")):
            with self.subTest(golden=golden):
                self.assertEqual(self.normalised(path.read_text()),
                                 (DATA / golden).read_text())
        # Nothing else: no temporary file is left behind.
        self.assertEqual(sorted(os.listdir(self.out)),
                         ["last.jsonl", "run.prom", "run.xml"])
        # Standard output and error are those of the run without the files.
        self.assertEqual(self.tarnwick("--baseline", baseline)[0],
                         (status, out, err))

    def test_a_failed_login_writes_both_files_with_the_exit_status(self):
        with StubController(REPLIES, args=["--password", "other"]) as stub:
            status, out, err = run([
                "--config_dir", self.checks, "--controller_ip", stub.address,
                "--password", PASSWORD, "--report-junit", self.out / "r.xml",
                "--metrics", self.out / "m.prom"], timeout=TIMEOUT)
        self.assertEqual((status, out), (1, "Login failed\n"), err)
        metrics = (self.out / "m.prom").read_text()
        self.assertIn('\ntarnwick_run_exit_status{controller="%s"} 1\n' %
                      stub.address, metrics)
        self.assertIn('\ntarnwick_run_checks{controller="%s"} 0\n' %
                      stub.address, metrics)
        self.assertNotIn("tarnwick_check_", metrics)
        junit = (self.out / "r.xml").read_text()
        self.assertIn('<testcase name="(run)" classname="%s" time="0.000">\n'
                      '      <error type="login failed" message="the '
                      'controller at ' % self.checks, junit)
        self.assertIn('<property name="exit_status" value="1"/>', junit)

    def test_an_unwritable_directory_is_an_error_before_anything_is_sent(self):
        # The directory's other faults are rows of the unit test.
        missing = self.out / "none" / "m.prom"
        result, sent = self.tarnwick("--report-junit", self.out / "r.xml",
                                     "--metrics", missing)
        self.assertEqual((result, sent), ((1, "", (
            "tarnwick: file not found: cannot write the metrics file '%s': "
            "directory '%s': no such file or directory\n" %
            (missing, missing.parent))), []))
        self.assertEqual(os.listdir(self.out), [])

    def test_a_file_that_cannot_be_written_at_the_end_fails_the_run(self):
        # Checked before the run, the directory goes away (or a directory
        # takes the file's place) while the check waits for its reply.
        def remove_directory(path):
            os.rmdir(path.parent)

        def directory_in_place(path):
            path.mkdir()

        hold = self.stub.dir / "answer"
        with StubController(REPLIES, [{"action": "list_gateways",
                                       "hold_until": str(hold)}]) as stub:
            for spoil in (remove_directory, directory_in_place):
                for nagios in ([], ["--nagios"]):
                    with self.subTest(spoil=spoil.__name__, nagios=nagios):
                        where = self.out / (spoil.__name__ + "".join(nagios))
                        where.mkdir()
                        metrics = where / "m.prom"
                        hold.unlink(missing_ok=True)
                        before = len(stub.requests())
                        proc = subprocess.Popen(
                            [tarnwick_bin(), "--config_dir", str(self.checks),
                             "--controller_ip", stub.address, "--password",
                             PASSWORD, "--expect", "--metrics", str(metrics),
                             *nagios, "--only", "gateways.cfg"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=clean_env(),
                            start_new_session=True)
                        try:
                            wait_for(lambda: len(stub.requests()) > before + 1,
                                     "the check's request", TIMEOUT)
                            spoil(metrics)
                            hold.touch()
                            out, err = proc.communicate(timeout=TIMEOUT)
                        finally:
                            if proc.poll() is None:
                                proc.kill()
                                proc.wait()
                        err = err.decode()
                        # Needs attention (3), but the file failed: 1.
                        self.assertEqual(proc.returncode, 2 if nagios else 1,
                                         err)
                        lines = err.splitlines()
                        self.assertEqual(lines[0], "tarnwick: expectations "
                                         "failed: 1 in 1 of 1 check: "
                                         "gateways.cfg (all_up)")
                        self.assertTrue(lines[1].startswith(
                            "tarnwick: file access error: cannot write the "
                            "metrics file '%s': " % metrics), err)
                        self.assertEqual(len(lines), 2, err)
                        if nagios:
                            self.assertTrue(out.decode().startswith(
                                "TARNWICK CRITICAL - "), out)

    def test_an_interruption_writes_both_files_and_the_plugin_line(self):
        # timeout(1) sends SIGTERM while the check's request waits at a
        # stand-in that never answers it (--preserve-status passes on
        # tarnwick's own exit status instead of its 124).
        hold = self.stub.dir / "never"
        with StubController(REPLIES, [{"action": "site",
                                       "hold_until": str(hold)}]) as stub:
            def interrupted(*options):
                proc = subprocess.run(
                    ["timeout", "--preserve-status", "-s", "TERM", "1",
                     tarnwick_bin(), "--config_dir", str(self.checks),
                     "--controller_ip", stub.address, "--password",
                     PASSWORD, "--only", "site.cfg", *map(str, options)],
                    stdin=subprocess.DEVNULL, capture_output=True, text=True,
                    env=clean_env(), timeout=TIMEOUT)
                self.assertEqual(
                    [r["action"] for r in stub.requests()][-2:],
                    ["login", "site"], "the signal came too early")
                return proc.returncode, proc.stdout, proc.stderr

            waiting = ("stopped by SIGTERM while waiting for "
                       "'https://%s/v1/api' (in %s/site.cfg)" %
                       (stub.address, self.checks))
            self.assertEqual(
                interrupted("--metrics", self.out / "m.prom",
                            "--report-junit", self.out / "r.xml"),
                (143, 'Site <&> "load"\n',
                 "tarnwick: interrupted: %s\n" % waiting))
            metrics = (self.out / "m.prom").read_text()
            self.assertIn('\ntarnwick_run_exit_status{controller="%s"} 143\n'
                          % stub.address, metrics)
            self.assertNotIn("tarnwick_check_", metrics)
            junit = (self.out / "r.xml").read_text()
            self.assertIn('<testcase name="(run)" classname="%s" time="0.000">'
                          '\n      <error type="interrupted" message="stopped '
                          'by SIGTERM while waiting for ' % self.checks, junit)
            self.assertIn('<property name="exit_status" value="143"/>', junit)
            # Standard output carries the plugin's line; stderr stays.
            status, out, err = interrupted("--nagios")
            self.assertEqual((status, err),
                             (3, "tarnwick: interrupted: %s\n" % waiting))
            self.assertRegex(out, "^" + re.escape(
                "TARNWICK UNKNOWN - interrupted by " + waiting[len(
                    "stopped by "):] + "; 1 check not run | checks=1 "
                "failed=0 expectations_failed=0 changed=0 time=") +
                r"[0-9.]+s\n$")

    def test_nagios_gives_one_status_line_and_the_plugin_statuses(self):
        perf = " | checks=%d failed=%d expectations_failed=%d changed=0 time="
        # names, password, plugin status, status line, long text, the last
        # line on standard error
        cases = [
            (["site.cfg"], PASSWORD, 0,
             "TARNWICK OK - 1 check, all well" + perf % (1, 0, 0), [], ""),
            (["gateways.cfg"], PASSWORD, 1,
             "TARNWICK WARNING - expectations failed: 1 in 1 of 1 check: "
             "gateways.cfg (all_up)" + perf % (1, 0, 1),
             ["gateways.cfg: expect all_up: FAILS: gateways[name=gw-2].state "
              "is 'down' (expected == up)"],
             "tarnwick: expectations failed: 1 in 1 of 1 check: gateways.cfg "
             "(all_up)"),
            # Expectations are counted, not the checks that have them.
            (["down.cfg"], PASSWORD, 1,
             "TARNWICK WARNING - expectations failed: 2 in 1 of 1 check: "
             "down.cfg (up, ready)" + perf % (1, 0, 2),
             ["down.cfg: expect up: FAILS: gateways[name=gw-2].state is 'down' "
              "(expected == up)",
              "down.cfg: expect ready: FAILS: count of 'gateways[*]' is 2 "
              "(expected > 5)"],
             "tarnwick: expectations failed: 2 in 1 of 1 check: down.cfg "
             "(up, ready)"),
            (["broken.cfg", "site.cfg"], PASSWORD, 2,
             "TARNWICK CRITICAL - checks failed: 1 of 2: broken.cfg"
             + perf % (2, 1, 0),
             ["broken.cfg: ERROR: invalid reply: reply is not JSON: "
              "unexpected 'o' at byte 0 (HTTP 200 application/json, body "
              "begins 'oops\\x07') (in CHECKS/broken.cfg)"],
             "tarnwick: checks failed: 1 of 2: broken.cfg"),
            (["site.cfg"], "wrong", 2,
             "TARNWICK CRITICAL - login failed: the controller at "
             "'https://CONTROLLER/v1/api' did not accept the login of "
             "'admin': HTTP 200 application/json; the reply has no member "
             "\"CID\", only 'error'" + perf % (0, 0, 0), [],
             "tarnwick: login failed: the controller at "
             "'https://CONTROLLER/v1/api' did not accept the login of "
             "'admin': HTTP 200 application/json; the reply has no member "
             "\"CID\", only 'error'"),
        ]
        with StubController(REPLIES, RULES,
                            args=["--password", PASSWORD]) as stub:
            for names, password, plugin, line, details, last in cases:
                with self.subTest(names=names, password=password):
                    status, out, err = run(
                        ["--config_dir", self.checks, "--controller_ip",
                         stub.address, "--password", password, "--expect",
                         "--keep-going", "--nagios", *only(names)],
                        timeout=TIMEOUT)
                    out = out.replace(stub.address, "CONTROLLER").replace(
                        str(self.checks), "CHECKS")
                    err = err.replace(stub.address, "CONTROLLER")
                    first, *rest = out.splitlines()
                    self.assertEqual(status, plugin, err)
                    self.assertEqual((err.splitlines() or [""])[-1], last)
                    self.assertRegex(first, "^" + re.escape(line) +
                                     r"[0-9]+\.[0-9]{3}s$")
                    self.assertEqual(rest, details)
        # A refused command line, --nagios or not; the usage stays on stderr.
        for args in (["--nagios", "--bogus"], ["--bogus", "--nagi"],
                     ["--nagios", "--json"]):
            with self.subTest(args=args):
                status, out, err = run(args)
                self.assertEqual(status, 3)
                self.assertRegex(out, r"^TARNWICK UNKNOWN - usage error: "
                                 r"[^\n|]+\n$")
                self.assertTrue(err.startswith("usage: tarnwick "), err)
        self.assertEqual(run(["--bogus"])[:2], (2, ""))


if __name__ == "__main__":
    unittest.main()
