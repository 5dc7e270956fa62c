"""Standard output that goes away or fills up, signals during a request, and
what the running process gives away about the password.

The pseudo-terminal cases (echo restored after an interruption at the
password prompt) are in test_command_line.py.
"""

import os
import pathlib
import resource
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (StubController, clean_env, tarnwick_bin, wait_for,
                     write_checks)

PASSWORD = "S3cr3t-pw!"  # must never show in any output
TIMEOUT = 30  # seconds for any one run
CHECK = ("[default]\ndescription = check %s\n"
         "[orvantis]\naction = show\nwhich = %s\n")
# Printed one item per line: a report of 1.5 MB, more than a pipe holds.
BIG_REPLY = {"items": ["item-%06d" % i for i in range(100_000)]}



def start(args, stdout, restore_signals=True, env_extra=None, **popen_args):
    return subprocess.Popen(
        [os.path.abspath(tarnwick_bin())] + [str(a) for a in args],
        stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
        env=clean_env(env_extra), start_new_session=True,
        restore_signals=restore_signals, **popen_args)


def allow_core_dumps():
    """In the child before exec: core files as large as allowed (without
    limit for root), so that only tarnwick itself can switch them off."""
    try:
        resource.setrlimit(resource.RLIMIT_CORE,
                           (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    except (ValueError, OSError):
        hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
        resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))


def finish(proc):
    """Waits for proc; returns (exit status, stderr text), which must not
    hold the password."""
    try:
        _, err = proc.communicate(timeout=TIMEOUT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=TIMEOUT)
    err = err.decode("utf-8", "surrogateescape")
    if PASSWORD in err:
        raise AssertionError("the password is in stderr: %r" % err)
    return proc.returncode, err


class StubTestCase(unittest.TestCase):
    replies = {"show.json": BIG_REPLY}
    rules = None

    def setUp(self):
        self.stub = StubController(self.replies, self.rules)
        self.stub.__enter__()
        self.addCleanup(self.stub.__exit__, None, None, None)
        self.checks = write_checks(self.stub.dir / "checks",
                                   {"a.cfg": CHECK % ("a", "a")})

    def args(self, *more):
        return ["--config_dir", self.checks, "--controller_ip",
                self.stub.address, "--password", PASSWORD, *more]


class BrokenPipeTest(StubTestCase):
    """A reader that went away ends the run quietly with status 141, as if
    SIGPIPE had ended it, whether SIGPIPE was ignored at start or not."""

    def test_closed_pipe_ends_quietly_with_141(self):
        runs = {
            "report": self.args(),
            "help": ["--help"],
            "address prompt": ["--password", PASSWORD,
                               "--config_dir", self.checks],
        }
        for name, args in runs.items():
            for restore in (True, False):
                with self.subTest(name, sigpipe_default=restore):
                    read_end, write_end = os.pipe()
                    os.close(read_end)  # the reader is gone before we start
                    try:
                        proc = start(args, write_end, restore)
                    finally:
                        os.close(write_end)
                    self.assertEqual(finish(proc), (141, ""))

    def test_head_takes_the_first_line(self):
        # A check that failed before the reader went away is no reason for
        # the summary of --keep-going: the closed pipe wins.
        checks = write_checks(self.stub.dir / "going_on", {
            "bad.cfg": "[orvantis]\naction\n", "a.cfg": CHECK % ("a", "a")})
        parse_error = ("check file error: %s/bad.cfg:2: parse error: a line "
                       "that is neither a section header nor a key line" %
                       checks)
        runs = {
            "report": (self.args(), "check a\n", ""),
            "after a failed check, going on": (
                self.args("--config_dir", checks, "--keep-going", "--only",
                          "bad.cfg", "--only", "a.cfg"),
                "ERROR: %s\n" % parse_error, "tarnwick: %s\n" % parse_error),
        }
        for name, (args, line, err) in runs.items():
            for restore in (True, False):
                with self.subTest(name, sigpipe_default=restore):
                    proc = start(args, subprocess.PIPE, restore)
                    head = subprocess.Popen(["head", "-1"], stdin=proc.stdout,
                                            stdout=subprocess.PIPE)
                    proc.stdout.close()
                    first, _ = head.communicate(timeout=TIMEOUT)
                    self.assertEqual(first.decode(), line)
                    self.assertEqual(finish(proc), (141, err))


class OutputFailureTest(StubTestCase):
    def test_unwritable_stdout_is_one_error_report(self):
        full = "No space left on device"
        cases = {
            "report to a full disk": (
                self.args(), "/dev/full",
                "cannot write the report: " + full),
            "help to a full disk": (
                ["--help"], "/dev/full", "cannot write the report: " + full),
            "address prompt to a full disk": (
                ["--password", PASSWORD, "--config_dir", self.checks],
                "/dev/full", "cannot write the address prompt: " + full),
            "report to a closed stdout": (
                self.args(), None,
                "cannot write the report: Bad file descriptor"),
        }
        for name, (args, target, message) in cases.items():
            with self.subTest(name):
                if target is None:
                    proc = subprocess.Popen(
                        [tarnwick_bin()] + [str(a) for a in args],
                        stdin=subprocess.DEVNULL, stderr=subprocess.PIPE,
                        env=clean_env(), start_new_session=True,
                        preexec_fn=lambda: os.close(1))
                else:
                    with open(target, "wb") as out:
                        proc = start(args, out)
                self.assertEqual(finish(proc),
                                 (1, "tarnwick: output error: %s\n" % message))


class InterruptionTest(StubTestCase):
    """A signal while the second check's request waits at the controller:
    the first report block, already written to the file, stays."""

    replies = {"show.json": {"ok": 1}}
    rules = [{"action": "show", "nth": 2, "fault": "hang"}]

    def interrupt(self, signal_number, status, name):
        write_checks(self.checks, {"b.cfg": CHECK % ("b", "b")})
        report = self.stub.dir / "report"
        with open(report, "wb") as out:
            proc = start(self.args(), out)

        def shows():
            which = [dict(r["fields"])["which"] for r in self.stub.requests()
                     if r["action"] == "show"]
            return which if len(which) == 2 else None

        first, second = wait_for(shows, "the second check's request", TIMEOUT)
        proc.send_signal(signal_number)
        # The report names what the run was waiting for, and in which check.
        self.assertEqual(finish(proc), (
            status, "tarnwick: interrupted: stopped by %s while waiting for "
            "'https://%s/v1/api' (in %s/%s)\n" %
            (name, self.stub.address, self.checks, second + ".cfg")))
        self.assertEqual(report.read_text(),
                         "check %s\n{'ok': 1}\n\n\ncheck %s\n" %
                         (first, second))

    def test_sigint_during_a_request_keeps_finished_blocks(self):
        self.interrupt(signal.SIGINT, 130, "SIGINT")

    def test_sigterm_during_a_request_keeps_finished_blocks(self):
        self.interrupt(signal.SIGTERM, 143, "SIGTERM")


class ProcessSecretsTest(StubTestCase):
    """What another process can learn of the password while a run waits
    for the controller."""

    rules = [{"action": "login", "fault": "hang"}]

    def hanging_run(self, args, **start_args):
        """Starts a run that hangs in its login; returns the process once
        the login has reached the stub."""
        self.stub.log_path.write_text("")
        proc = start(args, subprocess.DEVNULL, **start_args)
        self.addCleanup(finish, proc)
        self.addCleanup(proc.send_signal, signal.SIGTERM)
        wait_for(self.stub.requests, "the login", TIMEOUT)
        return proc

    def test_password_is_hidden_from_the_process_list(self):
        other = "first-S3cr3t"
        cases = [
            ["--password", PASSWORD],
            ["--password=" + PASSWORD],
            ["--pass", PASSWORD],
            ["--p=" + PASSWORD],
            ["--password", other, "--password", PASSWORD],
            # A value that begins with a dash is still the user name's.
            ["--username", "- not a password", "--password", PASSWORD],
        ]
        for password_args in cases:
            with self.subTest(password_args):
                args = ["--config_dir", self.checks, "--controller_ip",
                        self.stub.address] + password_args
                proc = self.hanging_run(args)
                cmdline = pathlib.Path(
                    "/proc/%d/cmdline" % proc.pid).read_bytes()
                hidden = [tarnwick_bin()] + [str(a) for a in args]
                hidden = [a.replace(PASSWORD, "*" * len(PASSWORD))
                           .replace(other, "*" * len(other)) for a in hidden]
                self.assertEqual(cmdline.split(b"\0")[:-1],
                                 [a.encode() for a in hidden])
                login = dict(self.stub.requests()[0]["fields"])
                self.assertEqual(login["password"], PASSWORD)
                if "--username" in password_args:
                    self.assertEqual(login["username"], "- not a password")
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(finish(proc)[0], 143)

    def test_no_core_dumps(self):
        with tempfile.TemporaryDirectory() as tmp:
            proc = self.hanging_run(self.args(), cwd=tmp,
                                    preexec_fn=allow_core_dumps)
            limits = pathlib.Path("/proc/%d/limits" % proc.pid).read_text()
            core = [line.split()[-3:] for line in limits.splitlines()
                    if line.startswith("Max core file size")]
            self.assertEqual(core, [["0", "0", "bytes"]])
            # A signal that dumps core leaves no file behind.
            proc.send_signal(signal.SIGQUIT)
            status, err = finish(proc)
            self.assertEqual(status, -signal.SIGQUIT)
            self.assertEqual(err, "")
            self.assertEqual(os.listdir(tmp), [])

    def test_tls_secrets_are_not_written_to_a_key_log(self):
        # libcurl writes TLS session secrets to the file SSLKEYLOGFILE names;
        # with them a capture of the login would show the password.
        with tempfile.TemporaryDirectory() as tmp:
            key_log = pathlib.Path(tmp) / "keys"
            with StubController() as stub:
                proc = start(["--config_dir", tmp, "--controller_ip",
                              stub.address, "--password", PASSWORD],
                             subprocess.DEVNULL,
                             env_extra={"SSLKEYLOGFILE": str(key_log)})
                self.assertEqual(finish(proc), (0, ""))
            self.assertEqual(os.listdir(tmp), [])

if __name__ == "__main__":
    unittest.main()
