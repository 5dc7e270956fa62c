"""Check files and check directories that are not what they should be.

Garbage, special files, links that loop or refer back, files that vanish
during the run: each ends in one error report naming the file (and line, for
a rejected file), exit status 1, never in a hang; a check that is rejected
prints nothing and logs in no further.
"""

import os
import pathlib
import random
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (StubController, clean_env, run, tarnwick_bin, wait_for,
                     write_checks)

PASSWORD = "S3cr3t-pw!"  # must never show in any output
TIMEOUT = 30  # seconds for any one run; a hang fails the test


def logins(requests):
    return sum(r["action"] == "login" for r in requests)


class TempDirTestCase(unittest.TestCase):
    def setUp(self):
        self.stub = StubController({"show.json": {"ok": 1}})
        self.stub.__enter__()
        self.addCleanup(self.stub.__exit__, None, None, None)
        self.dir = self.stub.dir / "checks"
        self.dir.mkdir()

    def run_checks(self):
        status, out, err = run(["--config_dir", self.dir, "--controller_ip",
                                self.stub.address, "--password", PASSWORD],
                               timeout=TIMEOUT)
        self.assertNotIn(PASSWORD, out + err)
        return status, out, err

    def assert_fails(self, err_line, logins_expected=1):
        """The run ends with err_line alone, nothing on stdout, after
        logins_expected logins and no other request."""
        status, out, err = self.run_checks()
        self.assertEqual((status, out, err), (1, "", err_line + "\n"))
        requests = self.stub.requests()
        self.assertEqual([r["action"] for r in requests],
                         ["login"] * logins_expected)


class CheckFileContentTest(TempDirTestCase):
    def test_undecodable_files_are_rejected_naming_file_and_line(self):
        noise = random.Random(7).randbytes(4096)
        cases = {
            "PNG image": (b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 1),
            "Latin-1 letter on line 3":
                (b"[orvantis]\naction = show\nname = caf\xe9\n", 3),
            "overlong slash": (b"[orvantis]\naction = \xc0\xaf\n", 2),
            "encoded surrogate": (b"[orvantis]\nk = \xed\xa0\x80\n", 2),
            "UTF-16 with its mark": (
                "[orvantis]\naction = show\n".encode("utf-16"), 1),
            "sequence cut at the end": (b"[orvantis]\naction = \xe2\x82", 2),
            "random bytes after a good start":
                (b"[orvantis]\naction = show\n\xff" + noise, 3),
        }
        for name, (content, line) in cases.items():
            with self.subTest(name):
                shutil.rmtree(self.dir)
                write_checks(self.dir, {"x.cfg": content})
                self.stub.log_path.write_text("")
                self.assert_fails("tarnwick: check file error: %s/x.cfg:%d: "
                                  "invalid UTF-8" % (self.dir, line))

    def test_nul_bytes_are_carried_as_characters(self):
        write_checks(self.dir, {"x.cfg": (
            "[default]\ndescription = before\0after\n"
            "[orvantis]\naction = show\nna\0me = a\0b\nplain = x\n")})
        status, out, err = self.run_checks()
        self.assertEqual((status, out, err),
                         (0, "before\0after\n{'ok': 1}\n\n\n", ""))
        show = self.stub.requests()[-1]
        self.assertEqual(show["fields"][1:], [["action", "show"],
                                              ["na\0me", "a\0b"],
                                              ["plain", "x"]])
        self.assertIn("&na%00me=a%00b&", show["body"])

    def test_hostile_file_names_are_escaped_in_the_report(self):
        # Terminal escapes in a name must not reach the operator's terminal.
        names = {
            b"\x1b]0;owned\x07\x1b[2J\n.cfg":
                "\\x1b]0;owned\\x07\\x1b[2J\\n.cfg",
            b"\xff\xc2\x9b31m.cfg": "\\xff\\x9b31m.cfg",
        }
        for name, shown in names.items():
            with self.subTest(name):
                shutil.rmtree(self.dir)
                self.dir.mkdir()
                with open(os.fsencode(self.dir) + b"/" + name, "wb") as f:
                    f.write(b"\xff")
                status, out, err = self.run_checks()
                self.assertEqual((status, out), (1, ""))
                self.assertEqual(err, "tarnwick: check file error: %s/%s:1: "
                                 "invalid UTF-8\n" % (self.dir, shown))


class SpecialFileTest(TempDirTestCase):
    def make(self, path, kind):
        if kind == "fifo":
            os.mkfifo(path)
        elif kind == "socket":
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.addCleanup(listener.close)
            listener.bind(str(path))
            listener.listen(1)
        elif kind == "directory":
            path.mkdir()
        elif kind == "loop":
            os.symlink(path.name, path)
        elif kind == "dangling":
            os.symlink("nowhere", path)
        else:
            os.symlink(kind, path)  # a device

    CASES = {
        "fifo": "file access error: not a regular file: '%s' is a FIFO",
        "socket": "file access error: not a regular file: '%s' is a socket",
        "/dev/zero": "file access error: not a regular file: '%s' is a "
                     "character device",
        "/dev/null": "file access error: not a regular file: '%s' is a "
                     "character device",
        "directory": "file access error: not a regular file: '%s' is a "
                     "directory",
        "loop": "file access error: cannot open '%s': too many levels of "
                "symbolic links",
        "dangling": "file not found: no such file: '%s'",
    }

    def test_check_entries_that_are_no_regular_files(self):
        for kind, message in self.CASES.items():
            with self.subTest(kind):
                shutil.rmtree(self.dir)
                self.dir.mkdir()
                self.stub.log_path.write_text("")
                path = self.dir / "x.cfg"
                self.make(path, kind)
                self.assert_fails("tarnwick: " + message % path)

    def test_references_to_special_files(self):
        # The referenced path is examined before it is read, in words of its
        # own; the report names the kind, the path and the referring check.
        for kind, message in self.CASES.items():
            with self.subTest(kind):
                shutil.rmtree(self.dir)
                write_checks(self.dir, {
                    "a.cfg": "[orvantis]\naction = show\nx = output(ref)\n"})
                self.stub.log_path.write_text("")
                self.make(self.dir / "ref", kind)
                status, out, err = self.run_checks()
                self.assertEqual((status, out), (1, ""), err)
                report_kind = message.split(":", 1)[0]
                self.assertTrue(err.startswith("tarnwick: %s: " % report_kind),
                                err)
                self.assertIn("'%s'" % (self.dir / "ref"), err)
                self.assertTrue(err.endswith(" (in %s/a.cfg)\n" % self.dir)
                                or err.endswith(" (in %s/a.cfg <- ref)\n" %
                                                self.dir), err)
                self.assertEqual(logins(self.stub.requests()), 2)
                self.assertEqual(len(self.stub.requests()), 2)

    @unittest.skipIf(os.geteuid() == 0,
                     "root reads files whatever their permission bits say")
    def test_unreadable_file_and_directory(self):
        write_checks(self.dir, {"a.cfg": "[orvantis]\naction = show\n"})
        for path in (self.dir / "a.cfg", self.dir):
            with self.subTest(path):
                os.chmod(path, 0)
                try:
                    status, out, err = self.run_checks()
                finally:
                    os.chmod(path, 0o700)
                self.assertEqual((status, out), (1, ""))
                self.assertTrue(
                    err.startswith("tarnwick: file access error: "), err)
                self.assertIn(str(path), err)
                self.assertEqual(err.count("\n"), 1)


class ReferenceCycleTest(TempDirTestCase):
    def test_cycles_are_reported_before_another_login(self):
        cases = {
            # name: (files, links {name: target, None for a hard link to
            # a.cfg, "" for a directory}, chain after a.cfg, logins)
            "itself": ({"a.cfg": "output(a.cfg)"}, {}, "a.cfg", 2),
            "through another file": (
                {"a.cfg": "output(b.chk)", "b.chk": "output(a.cfg)"}, {},
                "b.chk -> a.cfg", 3),
            "a loop that leaves the first file out": (
                {"a.cfg": "output(b.chk)", "b.chk": "output(c.chk)",
                 "c.chk": "output(b.chk)"}, {},
                "b.chk -> c.chk -> b.chk", 4),
            "through a symbolic link": (
                {"a.cfg": "output(link)"}, {"link": "a.cfg"}, "link", 2),
            "through a hard link": (
                {"a.cfg": "output(hard)"}, {"hard": None}, "hard", 2),
            "through a linked directory": (
                {"a.cfg": "output(here/a.cfg)"}, {"here": "."},
                "here/a.cfg", 2),
            "through another spelling of the path": (
                {"a.cfg": "output(./sub/../a.cfg)"}, {"sub": ""},
                "./sub/../a.cfg", 2),
        }
        for name, (refs, links, chain, logins_expected) in cases.items():
            with self.subTest(name):
                shutil.rmtree(self.dir)
                write_checks(self.dir, {
                    file: "[orvantis]\naction = show\nitem = %s\n" % ref
                    for file, ref in refs.items()})
                for link, target in links.items():
                    if target is None:
                        os.link(self.dir / "a.cfg", self.dir / link)
                    elif not target:
                        (self.dir / link).mkdir()
                    else:
                        os.symlink(target, self.dir / link)
                self.stub.log_path.write_text("")
                self.assert_fails(
                    "tarnwick: reference cycle: checks refer to each other: "
                    "%s/a.cfg -> %s" % (self.dir, chain), logins_expected)

    def test_absolute_reference_to_itself(self):
        path = self.dir / "a.cfg"
        write_checks(self.dir, {
            "a.cfg": "[orvantis]\naction = show\nitem = output(%s)\n" % path})
        self.assert_fails("tarnwick: reference cycle: checks refer to each "
                          "other: %s -> %s" % (path, path), 2)



class DirectoryChangesDuringRunTest(unittest.TestCase):
    """The listing is taken once: while the first check's request is held
    at the stub, the test changes the directory; the second check then
    meets the change."""

    def run_with_change(self, change):
        """Returns (status, out, err, which check ran first, directory)."""
        with tempfile.TemporaryDirectory() as tmp:
            release = pathlib.Path(tmp) / "release"
            rules = [{"action": "show", "nth": 1, "json": {"ok": 1},
                      "hold_until": str(release)}]
            with StubController({"show.json": {"ok": 1}}, rules) as stub:
                directory = write_checks(stub.dir / "checks", {
                    name + ".cfg": "[default]\ndescription = check %s\n"
                                   "[orvantis]\naction = show\nwhich = %s\n"
                                   % (name, name) for name in ("a", "b")})
                proc = subprocess.Popen(
                    [tarnwick_bin(), "--config_dir", directory,
                     "--controller_ip", stub.address, "--password", PASSWORD],
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, env=clean_env(),
                    start_new_session=True)
                try:
                    show = wait_for(lambda: [r for r in stub.requests()
                                             if r["action"] == "show"],
                                    "the first check's request", TIMEOUT)[0]
                    first = dict(show["fields"])["which"]
                    other = directory / ("b.cfg" if first == "a" else "a.cfg")
                    change(directory, other)
                    release.touch()
                    out, err = proc.communicate(timeout=TIMEOUT)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.communicate(timeout=TIMEOUT)
                ran = [dict(r["fields"]).get("which") for r in stub.requests()
                       if r["action"] == "show"]
        out, err = out.decode(), err.decode()
        self.assertNotIn(PASSWORD, out + err)
        block = "check %s\n{'ok': 1}\n\n\n" % first
        return proc.returncode, out, err, block, other, ran

    def test_changes_after_the_listing(self):
        cases = {
            "the other file removed": (
                lambda d, other: other.unlink(),
                "file not found: no such file: '%s'"),
            "the whole directory removed": (
                lambda d, other: shutil.rmtree(d),
                "file not found: no such file: '%s'"),
            "the other file replaced by a FIFO": (
                lambda d, other: (other.unlink(), os.mkfifo(other)),
                "file access error: not a regular file: '%s' is a FIFO"),
        }
        for name, (change, message) in cases.items():
            with self.subTest(name):
                status, out, err, block, other, ran = self.run_with_change(
                    change)
                self.assertEqual((status, out, err),
                                 (1, block, "tarnwick: " + message % other +
                                  "\n"))
                self.assertEqual(len(ran), 1)

    def test_file_added_after_the_listing_is_not_run(self):
        status, out, err, block, other, ran = self.run_with_change(
            lambda d, other: (d / "c.cfg").write_text(
                "[orvantis]\naction = show\nwhich = c\n"))
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(out.startswith(block), out)
        self.assertEqual(len(ran), 2)
        self.assertNotIn("c", ran)


if __name__ == "__main__":
    unittest.main()
