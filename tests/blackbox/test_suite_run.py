"""The check suite run, end to end: which entries of the check directory run,
in what order, what each report block holds, and where a failure ends the
run.

Runs print their blocks in the order in which the file system lists the
check directory, which no test can choose; the expected report is put in
that order with os.listdir, which lists the directory the same way.
"""

import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

from harness import StubController, clean_env, run, tarnwick_bin, write_checks

TIMEOUT = 30  # seconds for any one run
ITEMS = ("a", "b", "c", "d", "e", "f")

# "show" answers {"item": X} for the field item=X; the other actions are
# named after what they answer.
REPLIES = {
    **{f"show@item={x}.json": {"item": x} for x in ITEMS},
    "list_gateways.json": {"gateways": [{"name": "a", "state": "up"},
                                        {"name": "b"}]},
    "show_gateway@gateway_name=a.json": {"status": {"state": "up"}},
    "show_gateway@gateway_name=b.json": {"error": "no such gateway"},
    "show_null.json": "null",
    "show_site.json": {"site": "east", "up": True},
    # Keys out of order: the report sorts them.
    "show_wide.json": {"total": 3, "Mode": "full", "items": [
        {"zone": "east", "state": "up", "note": None, "name": "node-01",
         "enabled": True},
        {"zone": "west", "state": "down", "note": "restarted at boot",
         "name": "node-02", "enabled": False},
        {"zone": "west", "state": "up", "note": None, "name": "node-03",
         "enabled": True}]},
}
RULES = [
    {"action": "broken", "body": "<html>maintenance</html>",
     "content_type": "text/html"},
    {"action": "drop", "fault": "drop_before_status"},
    {"action": "hang", "fault": "hang"},
]

WIDE_REPORT = """\
{'Mode': 'full',
 'items': [{'enabled': True, 'name': 'node-01', 'note': None, 'state': 'up', 'zone': 'east'},
           {'enabled': False, 'name': 'node-02', 'note': 'restarted at boot', 'state': 'down', 'zone': 'west'},
           {'enabled': True, 'name': 'node-03', 'note': None, 'state': 'up', 'zone': 'west'}],
 'total': 3}
"""


def check(item, description=None):
    """A check that asks "show" for item."""
    head = "" if description is None else (
        f"[default]\ndescription = {description}\n")
    return head + f"[orvantis]\naction = show\nitem = {item}\n"


def block(item, description=None):
    """The report block of check(item, description)."""
    head = "" if description is None else description + "\n"
    return head + f"{{'item': '{item}'}}\n\n\n"


def in_listing_order(directory, blocks):
    """The blocks of {entry name: text} joined in the directory's listing
    order; names not in blocks contribute nothing."""
    return "".join(blocks[n] for n in os.listdir(directory) if n in blocks)


def checks_by_listing(directory, count):
    """Writes count item checks, each with a description; returns their
    names in listing order."""
    write_checks(directory, {f"{x}.cfg": check(x, f"Check {x}")
                             for x in ITEMS[:count]})
    return [n for n in os.listdir(directory) if n.endswith(".cfg")]


class SuiteRunTest(unittest.TestCase):
    """Against one stand-in controller shared by every test."""

    @classmethod
    def setUpClass(cls):
        cls.stub = cls.enterClassContext(StubController(REPLIES, RULES))

    def new_dir(self):
        return tempfile.mkdtemp(dir=self.stub.dir, prefix="checks.")

    def tarnwick(self, directory):
        return run(["--config_dir", directory,
                    "--controller_ip", self.stub.address,
                    "--password", "pw"], timeout=TIMEOUT)

    def items_sent_by(self, action):
        """Runs action() and returns the item fields the stub then got."""
        before = len(self.stub.requests())
        result = action()
        sent = [dict(r["fields"]).get("item")
                for r in self.stub.requests()[before:]
                if r["action"] == "show"]
        return result, sent

    def test_blocks_follow_the_listing_order(self):
        directory = self.new_dir()
        names = checks_by_listing(directory, 5)
        result, sent = self.items_sent_by(lambda: self.tarnwick(directory))
        expected = "".join(block(n[0], f"Check {n[0]}") for n in names)
        self.assertEqual(result, (0, expected, ""))
        self.assertEqual(sent, [n[0] for n in names])

    def test_only_names_ending_in_cfg_run(self):
        directory = self.new_dir()
        runs = {".a.cfg": check("a", "hidden"), ".cfg": check("b", "bare"),
                "c.cfg": check("c", "plain")}
        skipped = {"d.CFG": check("d"), "d.cfg.bak": check("d"),
                   "d.cfg~": check("d"), "dcfg": check("d"),
                   "e.Cfg": check("e")}
        write_checks(directory, {**runs, **skipped})
        write_checks(os.path.join(directory, "sub"), {"f.cfg": check("f")})
        result, sent = self.items_sent_by(lambda: self.tarnwick(directory))
        blocks = {".a.cfg": block("a", "hidden"), ".cfg": block("b", "bare"),
                  "c.cfg": block("c", "plain")}
        self.assertEqual(result, (0, in_listing_order(directory, blocks), ""))
        self.assertEqual(sorted(sent), ["a", "b", "c"])

    def test_directories_without_checks_print_nothing(self):
        cases = {
            "empty": {},
            "no check names": {"notes.txt": "hello", "a.CFG": check("a"),
                               "sub/b.cfg": check("b")},
        }
        for name, files in cases.items():
            with self.subTest(name):
                directory = self.new_dir()
                for path, text in files.items():
                    write_checks(os.path.join(directory,
                                              os.path.dirname(path)),
                                 {os.path.basename(path): text})
                before = len(self.stub.requests())
                self.assertEqual(self.tarnwick(directory), (0, "", ""))
                actions = [r["action"]
                           for r in self.stub.requests()[before:]]
                self.assertEqual(actions, ["login"])

    def test_description_forms(self):
        request = "[orvantis]\naction = show\nitem = a\n"
        result = block("a")
        cases = {
            "no default section": (request, result),
            "no description key": ("[default]\nnote = x\n" + request, result),
            "empty description": ("[default]\ndescription =\n" + request,
                                  "\n" + result),
            # Continuation lines are indented; the blank one stays empty.
            "several lines": ("[default]\ndescription = Line one\n"
                              "    line two\n\n    line four\n" + request,
                              "Line one\nline two\n\nline four\n" + result),
            "stray percent": ("[default]\ndescription = 50% done\n" + request,
                              result),
            "reference to a missing key": (
                "[default]\ndescription = %(nothing)s\n" + request, result),
            "reference and escaped percent": (
                "[default]\ndescription = %(site)s at 100%%\nsite = east\n" +
                request, "east at 100%\n" + result),
            "section name in capitals": (
                "[Default]\ndescription = not read\n" + request, result),
            "key in capitals": ("[default]\nDescription = Mixed\n" + request,
                                "Mixed\n" + result),
            "comment characters inside": (
                "[default]\ndescription = see #4 ; soon\n" + request,
                "see #4 ; soon\n" + result),
        }
        for name, (text, expected) in cases.items():
            with self.subTest(name):
                directory = write_checks(self.new_dir(), {"x.cfg": text})
                self.assertEqual(self.tarnwick(directory), (0, expected, ""))

    def test_failing_check_ends_the_run_and_is_named(self):
        cases = {
            "reply not JSON": (
                "[default]\ndescription = Broken\n"
                "[orvantis]\naction = broken\n",
                "Broken\n", "invalid reply"),
            "connection dropped": (
                "[default]\ndescription = Dropped\n"
                "[orvantis]\naction = drop\n",
                "Dropped\n", "connection error"),
            "missing key in a list": (
                "[default]\ndescription = Filtered\nfilters = gateways, state"
                "\n[orvantis]\naction = list_gateways\n",
                "Filtered\n", "missing key"),
            "no orvantis section": ("[default]\ndescription = Nothing\n",
                                    "Nothing\n", "missing section"),
            "referenced check missing": (
                "[orvantis]\naction = show\nitem = output(absent.cfg)\n",
                "", "file not found"),
            "unreadable request value": ("[orvantis]\naction = 5%\n",
                                         "", "unreadable value"),
        }
        for name, (text, printed, kind) in cases.items():
            with self.subTest(name):
                directory = self.new_dir()
                first, middle, last = checks_by_listing(directory, 3)
                write_checks(directory, {middle: text})
                (status, out, err), sent = self.items_sent_by(
                    lambda: self.tarnwick(directory))
                self.assertEqual(status, 1)
                self.assertEqual(out, block(first[0], f"Check {first[0]}") +
                                 printed)
                path = os.path.join(directory, middle)
                self.assertRegex(err, "^tarnwick: " + re.escape(kind) +
                                 r": [^\n]* \(in " + re.escape(path) +
                                 r"\)\n\Z")
                self.assertNotIn(last[0], sent)

    def test_entry_that_cannot_be_read_ends_the_run(self):
        def directory_entry(path):
            os.mkdir(path)

        def fifo(path):
            os.mkfifo(path)

        def dangling_link(path):
            os.symlink("nowhere.cfg", path)

        def rejected_file(path):
            # Rejected for the duplicate key before its description shows.
            write_checks(os.path.dirname(path), {os.path.basename(path): (
                "[default]\ndescription = never shown\n"
                "[orvantis]\naction = show\naction = show\n")})

        cases = {
            "directory": (directory_entry, "file access error"),
            "fifo": (fifo, "file access error"),
            "dangling symbolic link": (dangling_link, "file not found"),
            "rejected check file": (rejected_file, "check file error"),
        }
        for name, (make, kind) in cases.items():
            with self.subTest(name):
                directory = self.new_dir()
                checks_by_listing(directory, 4)
                make(os.path.join(directory, "x.cfg"))
                listing = [n for n in os.listdir(directory)
                           if n.endswith(".cfg")]
                before = listing[:listing.index("x.cfg")]
                (status, out, err), sent = self.items_sent_by(
                    lambda: self.tarnwick(directory))
                self.assertEqual(status, 1)
                self.assertEqual(out, "".join(block(n[0], f"Check {n[0]}")
                                              for n in before))
                self.assertRegex(err, "^tarnwick: " + re.escape(kind) +
                                 ": [^\n]*" +
                                 re.escape(os.path.join(directory, "x.cfg")) +
                                 "[^\n]*\n\\Z")
                self.assertEqual(sent, [n[0] for n in before])

    def test_blocks_printed_before_a_kill_stay_in_the_file(self):
        # Without a description nothing is written for the waiting check, so
        # the block before it must have been flushed on its own.
        cases = {
            "SIGKILL": (signal.SIGKILL, "Waits"),
            "SIGKILL, no description": (signal.SIGKILL, None),
            "SIGTERM": (signal.SIGTERM, "Waits"),
        }
        for name, (sig, description) in cases.items():
            with self.subTest(name):
                directory = self.new_dir()
                first, middle, _ = checks_by_listing(directory, 3)
                head = "" if description is None else (
                    f"[default]\ndescription = {description}\n")
                write_checks(directory,
                             {middle: head + "[orvantis]\naction = hang\n"})
                report = os.path.join(self.new_dir(), "report.txt")
                out = self.run_until_hang_then_signal(directory, report, sig)
                printed = "" if description is None else description + "\n"
                self.assertEqual(out, block(first[0], f"Check {first[0]}") +
                                 printed)

    def run_until_hang_then_signal(self, directory, report, sig):
        """Runs with stdout to the file report, sends sig once the "hang"
        request has reached the stub, and returns the file's content."""
        before = len(self.stub.requests())
        with open(report, "wb") as f:
            proc = subprocess.Popen(
                [tarnwick_bin(), "--config_dir", directory,
                 "--controller_ip", self.stub.address, "--password", "pw"],
                stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL,
                env=clean_env(), start_new_session=True)
        try:
            deadline = time.monotonic() + TIMEOUT
            while not any(r["action"] == "hang"
                          for r in self.stub.requests()[before:]):
                self.assertIsNone(proc.poll(), "the run ended by itself")
                self.assertLess(time.monotonic(), deadline,
                                "the hanging request never came")
                time.sleep(0.05)
            proc.send_signal(sig)
            self.assertNotEqual(proc.wait(timeout=TIMEOUT), 0)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=TIMEOUT)
        with open(report, encoding="utf-8") as f:
            return f.read()

    def test_check_used_by_a_compound_check_runs_on_its_own(self):
        directory = write_checks(self.new_dir(), {
            "names.cfg": "[default]\nfilters = gateways, name\n"
                         "[orvantis]\naction = list_gateways\n",
            "details.cfg": "[default]\nfilters = status\n[orvantis]\n"
                           "action = show_gateway\n"
                           "gateway_name = output(names.cfg)\n",
        })
        before = len(self.stub.requests())
        result = self.tarnwick(directory)
        blocks = {
            "names.cfg": "['a', 'b']\n\n\n",
            "details.cfg": "[{'object': 'a', 'results': {'state': 'up'}}, "
                           "{'object': 'b', 'results': 'FILTER_NOT_FOUND'}]"
                           "\n\n\n",
        }
        self.assertEqual(result, (0, in_listing_order(directory, blocks), ""))
        actions = [r["action"] for r in self.stub.requests()[before:]]
        self.assertEqual(actions.count("list_gateways"), 2)

    def test_results_in_report_notation(self):
        cases = {
            "marker in a filtered list": (
                "gateways, name & state", "list_gateways",
                "[{'name': 'a', 'state': 'up'}, "
                "{'name': 'b', 'state': 'FILTER_NOT_FOUND'}]\n"),
            "marker as the whole result": ("absent", "show_site",
                                           "'FILTER_NOT_FOUND'\n"),
            "null reply": (None, "show_null", "None\n"),
            "filter past a text": ("site, more", "show_site", "None\n"),
            "wider than a line": (None, "show_wide", WIDE_REPORT),
        }
        for name, (filters, action, expected) in cases.items():
            with self.subTest(name):
                head = "" if filters is None else (
                    f"[default]\nfilters = {filters}\n")
                directory = write_checks(self.new_dir(), {
                    "x.cfg": head + f"[orvantis]\naction = {action}\n"})
                self.assertEqual(self.tarnwick(directory),
                                 (0, expected + "\n\n", ""))


class LoginFailureMidRunTest(unittest.TestCase):
    """A failed login of a later check ends the run as a failure."""

    def test_earlier_blocks_stay_and_the_run_fails(self):
        # Login 1 is the opening login; login n + 1 belongs to the n-th check.
        for failing_login in (2, 3):
            with self.subTest(failing_login=failing_login):
                rules = [{"action": "login", "nth": failing_login,
                          "json": {"error": "bad credentials"}}]
                with StubController(REPLIES, rules) as stub:
                    directory = stub.dir / "checks"
                    names = checks_by_listing(directory, 3)
                    result = run(["--config_dir", directory,
                                  "--controller_ip", stub.address,
                                  "--password", "pw"], timeout=TIMEOUT)
                    actions = [r["action"] for r in stub.requests()]
                done = names[:failing_login - 2]
                failing = names[failing_login - 2][0]
                expected = ("".join(block(n[0], f"Check {n[0]}")
                                    for n in done) +
                            f"Check {failing}\nLogin failed\n")
                self.assertEqual(result[:2], (1, expected))
                # The failed login names the check it was for.
                self.assertTrue(result[2].startswith(
                    "tarnwick: login failed: the controller at "), result[2])
                self.assertTrue(result[2].endswith(
                    "only 'error' (in %s/%s)\n" %
                    (directory, names[failing_login - 2])),
                    result[2])
                self.assertEqual(actions[-1], "login")
                self.assertEqual(actions.count("login"), failing_login)


if __name__ == "__main__":
    unittest.main()
