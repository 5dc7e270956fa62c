"""The Debian package: built with cpack from the build directory that holds
TARNWICK_BIN (into a temporary directory, so the build directory is only
read), then checked with lintian, which must find no error other than the
missing copyright file (the licence is the owner's to choose).

Skips where lintian (Debian's package `lintian`) is not installed.
"""

import pathlib
import shutil
import subprocess
import tempfile
import unittest

from harness import clean_env, tarnwick_bin

PACKAGE_TIMEOUT = 300  # seconds for cpack, or for lintian
# Errors lintian may report: the licence is not chosen yet.
ACCEPTED_ERRORS = {"no-copyright-file"}


def run_tool(command, timeout=PACKAGE_TIMEOUT):
    proc = subprocess.run(
        [str(c) for c in command], stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=clean_env(),
        start_new_session=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode(errors="replace")


class DebianPackageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for tool in ("lintian", "cpack", "dpkg-deb"):
            if shutil.which(tool) is None:
                raise unittest.SkipTest(tool + " is not installed")
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="tarnwick-package."))
        build = pathlib.Path(tarnwick_bin()).resolve().parent
        status, out = run_tool(["cpack", "--config",
                                build / "CPackConfig.cmake", "-G", "DEB",
                                "-B", cls.tmp])
        packages = sorted(cls.tmp.glob("*.deb"))
        if status != 0 or len(packages) != 1:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError("cpack failed:\n" + out)
        cls.package = packages[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_lintian_finds_no_error_but_the_missing_copyright_file(self):
        _, out = run_tool(["lintian", "--tag-display-limit", "0",
                           self.package])
        # "E: tarnwick: TAG [details]"
        errors = [line for line in out.splitlines()
                  if line.startswith("E: ") and
                  line.split()[2] not in ACCEPTED_ERRORS]
        self.assertEqual(errors, [], out)


if __name__ == "__main__":
    unittest.main()
