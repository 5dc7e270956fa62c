"""The page of --report-html as tools read it: a real browser (headless
Chromium, Debian's chromium) and xmllint (Debian's libxml2-utils). Each
class skips where its tool is missing.

The browser loads the page from a file and reaches nothing else: every
host name resolves to nothing, and the page's policy forbids every load.
Its screenshots are kept under the build directory, in test-artifacts/,
for a person to look at."""

import html.parser
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import StubController, tarnwick_bin
from test_html_report import (HOSTILE, HOSTILE_CHECK, ORDER, REPLIES, RULES,
                              run_with_page)

# Widths at which the page is looked at: a desktop window, and a phone (or
# a window at 200% zoom and more).
SCREENSHOTS = {"html-report.png": "1280,1250",
               "html-report-narrow.png": "390,2400"}


def artifact_dir():
    """build/test-artifacts, beside the executable under test."""
    path = pathlib.Path(tarnwick_bin()).resolve().parent / "test-artifacts"
    path.mkdir(exist_ok=True)
    return path


class PageOfOneRun:
    """Runs the suite of test_html_report.py once, writing the page."""

    tool = None

    @classmethod
    def setUpClass(cls):
        if shutil.which(cls.tool) is None:
            raise unittest.SkipTest(cls.tool + " is not installed")
        cls.stub = cls.enterClassContext(StubController(REPLIES, RULES))
        cls.page = cls.stub.dir / "run.html"
        (cls.status, _, cls.err), _ = run_with_page(
            cls.stub, cls.stub.dir, "--report-html", cls.page)


class Element:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent = tag, dict(attrs), parent
        self.children = []

    def all(self):
        yield self
        for child in self.children:
            yield from child.all()

    def text_content(self):
        return "".join(child.text_content() for child in self.children)


class Text(Element):
    def __init__(self, data, parent):
        super().__init__("#text", [], parent)
        self.data = data

    def text_content(self):
        return self.data


class DomTree(html.parser.HTMLParser):
    """The DOM as Chromium serializes it, parsed back into a tree."""

    VOID = {"meta", "link", "br", "img", "input", "hr", "wbr", "source"}

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = Element("#document", [], None)
        self.current = self.root
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        element = Element(tag, attrs, self.current)
        self.current.children.append(element)
        if tag not in self.VOID:
            self.current = element

    def handle_endtag(self, tag):
        node = self.current
        while node is not self.root and node.tag != tag:
            node = node.parent
        if node is not self.root:
            self.current = node.parent

    def handle_data(self, data):
        self.current.children.append(Text(data, self.current))


class ChromiumTest(PageOfOneRun, unittest.TestCase):
    tool = "chromium"

    @classmethod
    def chromium(cls, *args):
        """Runs headless Chromium on the page with a profile of its own and
        no way out: no host name resolves, no background traffic."""
        with tempfile.TemporaryDirectory(prefix="tarnwick-chromium.") as home:
            proc = subprocess.Popen(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                 "--user-data-dir=" + home, "--no-first-run",
                 "--host-resolver-rules=MAP * ~NOTFOUND",
                 "--disable-background-networking", "--disable-sync",
                 "--disable-component-update", "--disable-extensions",
                 "--disable-domain-reliability", "--no-pings",
                 "--hide-scrollbars", *args, cls.page.as_uri()],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, text=True, start_new_session=True,
                env={"HOME": home, "PATH": "/usr/bin:/bin"})
            try:
                out, err = proc.communicate(timeout=120)
            finally:
                # Chromium's helper processes go with it, whatever happened.
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                proc.wait()
            return subprocess.CompletedProcess(proc.args, proc.returncode,
                                               out, err)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        dumped = cls.chromium("--dump-dom")
        if dumped.returncode != 0 or not dumped.stdout.strip():
            raise AssertionError("chromium --dump-dom failed: " +
                                 dumped.stderr[-2000:])
        cls.dom = DomTree(dumped.stdout).root
        cls.elements = [e for e in cls.dom.all()
                        if e.tag not in ("#text", "#document")]
        cls.shots = {}
        for name, size in SCREENSHOTS.items():
            path = artifact_dir() / name
            path.unlink(missing_ok=True)
            cls.chromium("--window-size=" + size, "--screenshot=" + str(path))
            cls.shots[name] = path

    def find(self, tag, **attrs):
        return [e for e in self.elements if e.tag == tag and
                all(e.attrs.get(k) == v for k, v in attrs.items())]

    def test_one_row_per_check_in_run_order(self):
        self.assertEqual(self.status, 1, self.err)
        rows = [e for e in self.find("tr") if "id" in e.attrs]
        self.assertEqual([r.attrs["id"] for r in rows],
                         ["check-%d" % n for n in range(1, len(ORDER) + 1)])
        names = [next(c for c in r.children if c.tag == "th").text_content()
                 for r in rows]
        self.assertEqual(names, ORDER)
        self.assertEqual([r.attrs["class"] for r in rows],
                         ["well", "attention", "failed", "failed",
                          "attention"])
        # Every link of the list of what needs a look leads to a row.
        links = [a.attrs["href"] for a in self.find("a")]
        self.assertEqual(links, ["#check-3", "#check-4", "#check-2",
                                 "#check-5"])

    def test_the_counts_and_the_exit_status(self):
        counts = [re.sub(r"\s+", " ", li.text_content()).strip()
                  for ul in self.find("ul", **{"class": "counts"})
                  for li in ul.children if li.tag == "li"]
        self.assertEqual(counts, ["\u2713 1 well", "\u26a0\ufe0e 2 need "
                                  "attention", "\u2717 2 failed"])
        outcome = self.find("p", **{"class": "outcome failed"})
        self.assertEqual([p.text_content() for p in outcome],
                         ["\u2717 Exit status 1: a failure"])

    def test_hostile_names_are_text_and_nothing_runs(self):
        text = self.dom.text_content()
        for name in HOSTILE + [HOSTILE_CHECK]:
            self.assertIn(name, text)
        tags = {e.tag for e in self.elements}
        self.assertEqual(tags - {
            "html", "head", "meta", "title", "style", "body", "header", "h1",
            "h2", "span", "p", "dl", "div", "dt", "dd", "time", "ul", "li",
            "strong", "main", "section", "a", "table", "thead", "tbody", "tr",
            "th", "td", "details", "summary", "pre"}, set())
        attributes = {name for e in self.elements for name in e.attrs}
        self.assertEqual(attributes - {
            "lang", "charset", "http-equiv", "content", "name", "class",
            "aria-hidden", "aria-label", "aria-labelledby", "datetime", "id",
            "href", "scope", "style"}, set())
        self.assertEqual(self.find("script"), [])
        policy = self.find("meta", **{"http-equiv":
                                      "Content-Security-Policy"})
        self.assertEqual([m.attrs["content"] for m in policy],
                         ["default-src 'none'; style-src 'unsafe-inline'"])

    def test_screenshots_are_kept(self):
        for name, path in self.shots.items():
            with self.subTest(name=name):
                self.assertTrue(path.exists(), path)
                self.assertEqual(path.read_bytes()[:8], b"\x89PNG\r\n\x1a\n")


class XmllintTest(PageOfOneRun, unittest.TestCase):
    tool = "xmllint"

    # libxml2's HTML parser knows HTML 4 only: it names each element HTML 5
    # added, and that is all it may say.
    HTML5 = {"header", "main", "section", "details", "summary", "time"}

    def test_the_page_parses_as_html(self):
        self.assertEqual(self.status, 1, self.err)
        checked = subprocess.run(["xmllint", "--html", "--noout",
                                  str(self.page)],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(checked.returncode, 0, checked.stderr)
        errors = [line for line in checked.stderr.splitlines()
                  if "parser error" in line]
        unknown = {m.group(1) for line in errors
                   for m in [re.search(r"Tag (\w+) invalid$", line)] if m}
        self.assertEqual(len(unknown), len(set(unknown)))
        self.assertEqual([line for line in errors
                          if not re.search(r"Tag (\w+) invalid$", line)], [])
        self.assertLessEqual(unknown, self.HTML5)


if __name__ == "__main__":
    unittest.main()
