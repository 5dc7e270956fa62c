"""The page of --report-html: one run with a holding check, a failed
expectation, a changed result, a failed check, partial results and hostile
names, against the golden file; the browser's view of the same run is in
test_html_report_tools.py."""

import json
import os
import pathlib
import re
import unittest

from harness import StubController, run, write_checks

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
PASSWORD = "S3cr3tPw"
SESSION = "sess-7f3a9c"
TIMEOUT = 60

# Gateway names that would be markup, were they not escaped.
HOSTILE = ["<img src=x onerror=alert(1)>", "</td></table><script>"]
HOSTILE_CHECK = "<b onclick=alert(3)>x.cfg"
REPLIES = {
    "login.json": {"CID": SESSION},
    "site.json": {"cpu_load": 0.37},
    "list_gateways.json": {"gateways": [{"name": HOSTILE[0], "state": "up"},
                                        {"name": HOSTILE[1],
                                         "state": "down"}]},
    "names.json": ["gw-1", "gw-2"],
    "show.json": {"up": True},
}
# The second gateway's details are not JSON (partial results); the reply to
# "broken" is not either, and echoes the password and the session id.
RULES = [{"action": "show", "fields": {"name": "gw-2"},
          "body": "<html>busy</html>", "content_type": "text/html"},
         {"action": "broken",
          "body": "denied pw=%s cid=%s" % (PASSWORD, SESSION)}]
CHECKS = {
    "site.cfg": "[default]\ndescription = Site <&> \"load\"\n[orvantis]\n"
                "action = site\n[expect]\ncpu = cpu_load < 0.8\n",
    "gateways.cfg": "[default]\ndescription = Gateways </td></table>\n"
                    "[orvantis]\naction = list_gateways\n[expect]\n"
                    "all_up = gateways[*].state == up\n",
    "broken.cfg": "[orvantis]\naction = broken\n[expect]\n"
                  "low = memory < 0.9\n",
    "details.cfg": "[orvantis]\naction = show\nname = output(names)\n"
                   "[expect]\nall_up = every [*].results.up == true\n",
    "names": "[orvantis]\naction = names\n",
    HOSTILE_CHECK: "[orvantis]\naction = site\n[expect]\n"
                   "busy = cpu_load > 0.5\n",
}
ORDER = ["site.cfg", "gateways.cfg", "broken.cfg", "details.cfg",
         HOSTILE_CHECK]
# The earlier run, in which both gateways were up: a changed result.
BASELINE = "".join(json.dumps(line) + "\n" for line in [
    {"check": "gateways.cfg",
     "result": {"gateways": [{"name": name, "state": "up"}
                             for name in HOSTILE]}},
    {"check": "site.cfg", "result": {"cpu_load": 0.37}}])


def run_with_page(stub, directory, *options):
    """Runs ORDER against stub with --expect, --keep-going and --baseline;
    returns ((status, out, err), the requests it sent)."""
    checks = write_checks(directory / "checks", CHECKS)
    baseline = directory / "last.jsonl"
    baseline.write_text(BASELINE)
    before = len(stub.requests())
    result = run(["--config_dir", checks, "--controller_ip", stub.address,
                  "--password", PASSWORD, "--expect", "--keep-going",
                  "--baseline", baseline, *options,
                  *[a for name in ORDER for a in ("--only", name)]],
                 timeout=TIMEOUT)
    return result, stub.requests()[before:]


def normalised(page, stub, directory):
    """The page without what differs from run to run: the address, the
    check directory, the times and the bars they make."""
    page = page.replace(stub.address, "CONTROLLER")
    page = page.replace(str(directory / "checks"), "CHECKS")
    page = re.sub(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", "START", page)
    page = re.sub(r"\b\d+\.\d{3} s\b", "T s", page)
    return re.sub(r"width:\d+\.\d%", "width:W%", page)


class HtmlReportTest(unittest.TestCase):

    def test_the_page_of_one_run(self):
        with StubController(REPLIES, RULES) as stub:
            out_dir = stub.dir / "out"
            out_dir.mkdir()
            page_path = out_dir / "run.html"
            with_page, sent = run_with_page(stub, stub.dir, "--report-html",
                                            page_path)
            without, sent_without = run_with_page(stub, stub.dir)
            page = page_path.read_text(encoding="utf-8")
            if os.environ.get("TARNWICK_WRITE_GOLDEN"):
                (DATA / "html_report.html").write_text(
                    normalised(page, stub, stub.dir), encoding="utf-8")
            self.assertEqual(os.listdir(out_dir), ["run.html"])
            self.assertEqual(
                normalised(page, stub, stub.dir),
                (DATA / "html_report.html").read_text(encoding="utf-8"))
        # Standard output and error, the exit status and the requests are
        # those of the run without the page.
        self.assertEqual(with_page[0], 1, with_page[2])
        self.assertEqual(with_page, without)
        self.assertEqual([r["fields"] for r in sent],
                         [r["fields"] for r in sent_without])
        # The hostile names are text; the secrets the reply echoed are gone.
        for name in HOSTILE + [HOSTILE_CHECK]:
            self.assertIn(name.replace("&", "&amp;").replace("<", "&lt;")
                          .replace(">", "&gt;"), page)
        self.assertNotIn("<img", page)
        self.assertNotIn("<script", page)
        self.assertNotIn("<b ", page)
        self.assertNotIn(PASSWORD, page)
        self.assertNotIn(SESSION, page)


if __name__ == "__main__":
    unittest.main()
