"""A 200 MB reply, end to end (heavy: about 10 s and 600 MB of memory).

tarnwick has no size limit of its own: the whole reply is decoded and
printed, and memory stays proportional to the body.
"""

import os
import random
import subprocess
import time
import unittest

from harness import StubController, clean_env, tarnwick_bin, write_checks

PASSWORD = "S3cr3t-pw!"
BODY_BYTES = 200_000_000
# The stub's generated list: n texts "item-000000000"... of 17 bytes each
# with their comma; see {"generate": "list"} in tools/stub_controller.py.
ITEMS = (BODY_BYTES - 1) // 17
LINE = 19  # "['item-000000000',\n": each item prints on a line of its own
TIMEOUT = 300  # seconds


def run_measured(args, stdout_path, stderr_path, timeout=TIMEOUT):
    """Runs the binary with stdout and stderr to files; returns (exit
    status, peak resident set size in bytes)."""
    with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
        proc = subprocess.Popen(
            [tarnwick_bin()] + [str(a) for a in args],
            stdin=subprocess.DEVNULL, stdout=out, stderr=err,
            env=clean_env(), start_new_session=True)
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return proc.returncode, usage.ru_maxrss * 1024
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait(timeout=30)
            raise AssertionError("tarnwick did not end within %s s" % timeout)
        time.sleep(0.05)


class LargeReplyTest(unittest.TestCase):
    def test_200_megabyte_reply_is_reported_whole(self):
        rules = [{"action": "show", "generate": "list", "bytes": BODY_BYTES}]
        with StubController(rules=rules) as stub:
            checks = write_checks(stub.dir / "checks",
                                  {"a.cfg": "[orvantis]\naction = show\n"})
            out_path, err_path = stub.dir / "out", stub.dir / "err"
            status, peak = run_measured(
                ["--config_dir", checks, "--controller_ip", stub.address,
                 "--password", PASSWORD], out_path, err_path)
            self.assertEqual((status, err_path.read_bytes()), (0, b""))
            self.assertEqual(os.path.getsize(out_path), LINE * ITEMS + 2)
            # Every line has the same width, so line i starts at LINE * i.
            samples = [0, 1, ITEMS - 2, ITEMS - 1] + random.Random(3).sample(
                range(ITEMS), 2000)
            with open(out_path, "rb") as out:
                for i in samples:
                    out.seek(LINE * i)
                    opening = b"[" if i == 0 else b" "
                    closing = b"]" if i == ITEMS - 1 else b","
                    self.assertEqual(out.read(LINE),
                                     b"%s'item-%09d'%s\n" % (opening, i,
                                                             closing))
                out.seek(LINE * ITEMS)
                self.assertEqual(out.read(), b"\n\n")
            # The body, its decoded nodes and the report buffer; measured
            # near 2.8 times the body.
            self.assertLess(peak, 4 * BODY_BYTES)


if __name__ == "__main__":
    unittest.main()
