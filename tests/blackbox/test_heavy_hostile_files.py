"""Large check files, long reference chains and many checks (heavy: about a
minute in all).

Nothing has a size or count limit of tarnwick's own; what these pin is that
the results stay exact and that file descriptors and memory do not grow
with the number of checks.
"""

import os
import pathlib
import resource
import subprocess
import tempfile
import time
import unittest

from harness import (StubController, clean_env, run, tarnwick_bin, wait_for,
                     write_checks)

PASSWORD = "S3cr3t-pw!"
TIMEOUT = 300  # seconds for any one run



class LargeCheckFileTest(unittest.TestCase):
    def run_checks(self, stub, checks):
        directory = write_checks(stub.dir / "checks", checks)
        result = run(["--config_dir", directory, "--controller_ip",
                      stub.address, "--password", PASSWORD], timeout=TIMEOUT)
        self.assertNotIn(PASSWORD, result[1] + result[2])
        return result

    def test_fifty_megabyte_check_file(self):
        # A million lines: half of them comments, half keys of a section
        # that is never sent.
        lines = []
        for i in range(500_000):
            lines.append("; comment %07d %s\n" % (i, "c" * 30))
            lines.append("key%07d = %s\n" % (i, "v" * 40))
        text = ("[default]\ndescription = big file\n"
                "[orvantis]\naction = show\nname = x\n[padding]\n" +
                "".join(lines))
        self.assertGreater(len(text), 50_000_000)
        with StubController({"show.json": {"ok": 1}}) as stub:
            status, out, err = self.run_checks(stub, {"a.cfg": text})
            self.assertEqual((status, out, err),
                             (0, "big file\n{'ok': 1}\n\n\n", ""))
            self.assertEqual(stub.requests()[-1]["fields"][1:],
                             [["action", "show"], ["name", "x"]])

    def test_megabyte_lines(self):
        # Every character that the form encodes differently, and UTF-8.
        value = ("a b&c=d+e%f\u00fc\u20ac\U0001F600;#" * 70_000)[:1_000_000]
        description = "d" * 1_000_000
        with StubController({"show.json": {"ok": 1}}) as stub:
            status, out, err = self.run_checks(stub, {"a.cfg": (
                "[default]\ndescription = %s\n[orvantis]\naction = show\n"
                "blob = %s\n" % (description, value.replace("%", "%%")))})
            self.assertEqual((status, err), (0, ""))
            self.assertEqual(out, description + "\n{'ok': 1}\n\n\n")
            self.assertEqual(stub.requests()[-1]["fields"][1:],
                             [["action", "show"], ["blob", value]])


class LongReferenceChainTest(unittest.TestCase):
    def test_thousand_files_deep(self):
        # top.cfg -> l0001 -> ... -> l0999, the innermost a simple check
        # whose result is empty: so no level above sends its own action.
        depth = 1000
        checks = {
            "top.cfg": "[orvantis]\naction = mid\nitem = output(l0001)\n"}
        for level in range(1, depth - 1):
            checks["l%04d" % level] = (
                "[orvantis]\naction = mid\nitem = output(l%04d)\n" %
                (level + 1))
        checks["l%04d" % (depth - 1)] = "[orvantis]\naction = leaf\n"
        with StubController({"leaf.json": []}) as stub:
            directory = write_checks(stub.dir / "checks", checks)
            status, out, err = run(
                ["--config_dir", directory, "--controller_ip", stub.address,
                 "--password", PASSWORD], timeout=TIMEOUT)
            self.assertEqual((status, out, err), (0, "[]\n\n\n", ""))
            actions = [r["action"] for r in stub.requests()]
        # The opening login, one login per file, then the innermost action.
        self.assertEqual(actions, ["login"] * (1 + depth) + ["leaf"])


def limit_descriptors():
    """In the child before exec: at most 64 open file descriptors."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))


class ManyChecksTest(unittest.TestCase):
    """2,000 checks under a limit of 64 file descriptors; while the last
    check's request is held at the stub, the open descriptors are counted.
    Peak memory is compared with a run of 20 checks."""

    def run_suite(self, count):
        """Returns (exit status, stdout, peak RSS in bytes, descriptors open
        during the last check's request)."""
        with tempfile.TemporaryDirectory() as tmp:
            release = pathlib.Path(tmp) / "release"
            rules = [{"action": "show", "nth": count, "json": {"ok": 1},
                      "hold_until": str(release)}]
            with StubController({"show.json": {"ok": 1}}, rules) as stub:
                directory = write_checks(stub.dir / "checks", {
                    "c%04d.cfg" % i: "[default]\ndescription = check %d\n"
                                     "[orvantis]\naction = show\nn = %d\n" %
                                     (i, i) for i in range(count)})
                out_path = pathlib.Path(tmp) / "out"
                with open(out_path, "wb") as out:
                    proc = subprocess.Popen(
                        [tarnwick_bin(), "--config_dir", directory,
                         "--controller_ip", stub.address,
                         "--password", PASSWORD],
                        stdin=subprocess.DEVNULL, stdout=out,
                        stderr=subprocess.DEVNULL, env=clean_env(),
                        start_new_session=True, preexec_fn=limit_descriptors)
                try:
                    wait_for(lambda: len(stub.requests()) == 2 * count + 1,
                             "the last check's request", TIMEOUT)
                    try:
                        descriptors = len(os.listdir("/proc/%d/fd" %
                                                     proc.pid))
                    except PermissionError:
                        # tarnwick makes itself non-dumpable, which hands
                        # its /proc entries to root.
                        descriptors = None
                    release.touch()
                    deadline = time.monotonic() + TIMEOUT
                    while True:
                        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
                        if pid or time.monotonic() > deadline:
                            break
                        time.sleep(0.05)
                finally:
                    if not pid:
                        proc.kill()
                        proc.wait(timeout=30)
                proc.returncode = os.waitstatus_to_exitcode(status)
                return (proc.returncode, out_path.read_text(),
                        usage.ru_maxrss * 1024, descriptors)

    def test_descriptors_and_memory_do_not_grow_with_checks(self):
        status, out, small_peak, small_fds = self.run_suite(20)
        self.assertEqual(status, 0)
        status, out, peak, fds = self.run_suite(2000)
        self.assertEqual(status, 0)
        blocks = out.split("\n\n\n")
        self.assertEqual(blocks[-1], "")
        self.assertEqual(sorted(blocks[:-1]),
                         sorted("check %d\n{'ok': 1}" % i
                                for i in range(2000)))
        self.assertLess(peak, small_peak + (8 << 20))
        if fds is not None:
            # Standard streams, the connection of the held request, and
            # little else, as after 20 checks.
            self.assertLessEqual(fds, 6)
            self.assertEqual(fds, small_fds)


if __name__ == "__main__":
    unittest.main()
