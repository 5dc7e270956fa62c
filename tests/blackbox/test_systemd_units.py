"""The systemd units as `cmake --install` puts them into a temporary prefix:
`systemd-analyze verify` finds nothing to say of tarnwick@.service and
tarnwick@.timer, and `systemd-analyze security --offline=true` rates the
service's exposure at most 2.0 ("OK"). (test_install.py runs the service's
command without systemd.)

Skips where systemd-analyze (Debian's package systemd) is missing.
"""

import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import clean_env, tarnwick_bin

INSTALL_TIMEOUT = 300  # seconds for `cmake --install`
ANALYZE_TIMEOUT = 60  # seconds for systemd-analyze
MAX_EXPOSURE = 2.0


def analyze(*args, env_extra=None):
    proc = subprocess.run(
        ["systemd-analyze", *map(str, args)], stdin=subprocess.DEVNULL,
        capture_output=True, env=clean_env(env_extra), timeout=ANALYZE_TIMEOUT)
    return (proc.returncode, proc.stdout.decode(errors="replace"),
            proc.stderr.decode(errors="replace"))


class SystemdUnitsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if shutil.which("systemd-analyze") is None:
            raise unittest.SkipTest("no systemd-analyze (Debian package "
                                    "systemd)")
        tmp = pathlib.Path(cls.enterClassContext(
            tempfile.TemporaryDirectory(prefix="tarnwick-units.")))
        cls.prefix = tmp / "prefix"
        build = pathlib.Path(tarnwick_bin()).resolve().parent
        proc = subprocess.run(
            ["cmake", "--install", build, "--prefix", cls.prefix],
            stdin=subprocess.DEVNULL, capture_output=True,
            timeout=INSTALL_TIMEOUT)
        if proc.returncode != 0:
            raise AssertionError("cmake --install failed:\n" +
                                 proc.stdout.decode(errors="replace"))
        cls.units = cls.prefix / "lib/systemd/system"

    def test_verify_finds_nothing(self):
        # An instance of each; the installed man page answers the units'
        # Documentation=, and ExecStart= must exist.
        status, out, err = analyze(
            "verify", "tarnwick@site-a.service", "tarnwick@site-a.timer",
            env_extra={"SYSTEMD_UNIT_PATH": f"{self.units}:",
                       "MANPATH": str(self.prefix / "share/man")})
        self.assertEqual((status, out, err), (0, "", ""))

    def test_service_exposure_is_ok(self):
        status, out, err = analyze("security", "--offline=true",
                                   self.units / "tarnwick@.service")
        self.assertEqual((status, err), (0, ""), out)
        level = re.search(r"Overall exposure level for \S+: (\d+\.\d+) (\w+)",
                          out)
        self.assertIsNotNone(level, out)
        self.assertLessEqual(float(level.group(1)), MAX_EXPOSURE, out)
        self.assertEqual(level.group(2), "OK", out)


if __name__ == "__main__":
    unittest.main()
