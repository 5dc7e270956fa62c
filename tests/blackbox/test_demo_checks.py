"""The example checks against the demo's canned replies, end to end.

scripts/demo runs the checks of src/tarnwick/config against the stand-in
controller answering from tools/demo/replies. This test runs the same pair
and compares the whole report with tools/demo/expected_report.txt, so a
change to the example checks, the replies or the report that alters the
demo's output shows up here.

expected_report.txt holds the report blocks in the order of the check file
names; a run prints them in the order in which the file system lists the
check directory, so the blocks are put in that order before comparing.
"""

import os
import unittest

from harness import SOURCE_DIR, StubController, run

CHECKS = SOURCE_DIR / "src" / "tarnwick" / "config"
DEMO = SOURCE_DIR / "tools" / "demo"
BLOCK_END = "\n\n\n"  # a result's line end, then two empty lines


def demo_replies():
    return {p.name: p.read_bytes() for p in (DEMO / "replies").iterdir()}


def expected_report():
    """The expected blocks, rearranged into the listing order of CHECKS."""
    text = (DEMO / "expected_report.txt").read_text(encoding="utf-8")
    blocks = [b + BLOCK_END for b in text.split(BLOCK_END)[:-1]]
    by_name = dict(zip(sorted(n for n in os.listdir(CHECKS)
                              if n.endswith(".cfg")), blocks, strict=True))
    return "".join(by_name[n] for n in os.listdir(CHECKS) if n in by_name)


def run_demo(*options):
    stub_args = ["--username", "admin", "--password", "demo", "--require-cid"]
    with StubController(demo_replies(), args=stub_args) as stub:
        return run(["--config_dir", CHECKS, "--controller_ip", stub.address,
                    "--password", "demo", *options], timeout=60)


class DemoChecksTest(unittest.TestCase):

    def test_report_matches_the_expected_text(self):
        self.assertEqual(run_demo(), (0, expected_report(), ""))

    def test_with_expect_one_expectation_fails(self):
        # What the demo's second run and the README show.
        status, out, err = run_demo("--expect")
        self.assertEqual((status, err), (
            3, "tarnwick: expectations failed: 1 in 1 of 3 checks: "
               "gateway_states.cfg (all_up)\n"))
        self.assertIn("expect all_up: FAILS: [name=edge-2].state is 'down', [name=edge-3].state "
                      "is absent, marked 'FILTER_NOT_FOUND' (expected == up)\n"
                      "expect enough: holds\n", out)


if __name__ == "__main__":
    unittest.main()
