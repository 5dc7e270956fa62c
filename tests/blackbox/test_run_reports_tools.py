"""The files of --report-junit and --metrics as the tools that read them
judge them: xmllint (Debian libxml2-utils) and promtool (Debian prometheus).
Each class skips where its tool is missing."""

import shutil
import subprocess
import unittest

from harness import StubController, run, write_checks
from test_run_reports import CHECKS, ORDER, PASSWORD, REPLIES, RULES, only

# Names and texts that need escaping: markup, quotes, a backslash, a line
# feed, a control character, bytes that are not UTF-8.
ODD = 'odd "<&>" \\ \nname\x01\udcff.cfg'
ODD_CHECK = ("[default]\ndescription = odd \x01 <&>\n[orvantis]\n"
             "action = site\n[expect]\ncpu = cpu_load > 0.5\n")


class FilesOfOneRun:
    """Runs the suite once, with the odd check twice, writing both files."""

    tool = None

    @classmethod
    def setUpClass(cls):
        if shutil.which(cls.tool) is None:
            raise unittest.SkipTest(cls.tool + " is not installed")
        cls.stub = cls.enterClassContext(StubController(REPLIES, RULES))
        checks = write_checks(cls.stub.dir / "checks", CHECKS)
        (checks / ODD).write_bytes(
            ODD_CHECK.encode("utf-8", "surrogateescape"))
        cls.junit = cls.stub.dir / "run.xml"
        cls.metrics = cls.stub.dir / "run.prom"
        cls.status, _, cls.err = run(
            ["--config_dir", checks, "--controller_ip", cls.stub.address,
             "--password", PASSWORD, "--expect", "--keep-going",
             "--report-junit", cls.junit, "--metrics", cls.metrics,
             *only(ORDER + [ODD, ODD])], timeout=60)

    def check_with(self, command, stdin=None):
        self.assertEqual(self.status, 1, self.err)
        checked = subprocess.run(command, stdin=stdin, capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual(checked.returncode, 0,
                         checked.stdout + checked.stderr)
        return checked.stdout


class XmllintTest(FilesOfOneRun, unittest.TestCase):
    tool = "xmllint"

    def test_the_junit_report_is_well_formed(self):
        names = self.check_with(["xmllint", "--xpath",
                                 "//testcase/@name", str(self.junit)])
        self.assertEqual(names.count('name="odd &quot;&lt;&amp;&gt;&quot; '
                                     '\\ &#10;name\ufffd\ufffd.cfg"'), 2,
                         names)


class PromtoolTest(FilesOfOneRun, unittest.TestCase):
    tool = "promtool"

    def test_the_metrics_pass_promtool(self):
        with open(self.metrics, "rb") as metrics:
            self.check_with(["promtool", "check", "metrics"], metrics)
        self.assertIn('tarnwick_check_status{check="odd \\"<&>\\" \\\\ '
                      '\\nname\x01\ufffd.cfg",controller="%s",run="2"} 1\n'
                      % self.stub.address, self.metrics.read_text())


if __name__ == "__main__":
    unittest.main()
