"""The command line, the prompts, the default check directory and the exit
statuses, end to end.

No controller is needed: 127.0.0.1:1 has nothing listening, so a run that
gets as far as the opening login ends there with a connection error, which
shows how far it got. Prompts that need a terminal run the binary on a
pseudo-terminal.
"""

import os
import pathlib
import pty
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import termios
import time
import unittest

from harness import clean_env, run, tarnwick_bin

UNREACHABLE = "127.0.0.1:1"
ADDRESS_PROMPT = "Enter Orvantis Controller IP: "
PASSWORD_PROMPT = "Enter Orvantis Controller Password: "
PASSWORD = "s3cr3t-Pw"
TIMEOUT = 30  # seconds for any one run

HELP = """\
usage: tarnwick [-h] [--controller_ip CONTROLLER_IP] [--username USERNAME]
                [--password PASSWORD] [--config_dir CONFIG_DIR] [--verbose]
                [--timeout SECONDS] [--keep-going] [--json] [--only NAME]
                [--version] [--dry-run] [--expect] [--baseline FILE]
                [--fail-http] [--quiet] [--strict] [--reuse-connections]
                [--reuse-session] [--report-junit FILE] [--report-html FILE]
                [--metrics FILE] [--nagios] [--in-flight N] [--tls-pin PIN]
                [--tls-ca FILE] [--tls-show-pin] [--secret-file FILE]

Tarnwick Automation

options:
  -h, --help            show this help message and exit
  --controller_ip CONTROLLER_IP
                        Orvantis Controller IP. User will be prompted to enter the IP if not specified.
  --username USERNAME   Orvantis Controller Username. Defaults to "admin" if not specified.
  --password PASSWORD   Orvantis Controller Password. User will be prompted to enter the password if not specfied.
  --config_dir CONFIG_DIR
                        Configuration Directory. Defaults to "config" if not specified.
  --verbose             Write a line per request to standard error: check, action, HTTP status, size and time.
  --timeout SECONDS     Give up on a request after SECONDS without progress (connecting, or waiting for the next byte of the reply).
  --keep-going          Go on with the next check when one fails; report the failures at the end and exit with status 1.
  --json                Write the report as JSON Lines: one object per check.
  --only NAME           Run only the check NAME of the check directory; may be given several times.
  --version             Show the version of tarnwick and of the libraries it uses, and exit.
  --dry-run             Read the check files and show what each check would send, without asking for anything or sending anything.
  --expect              Judge each check's result against the [expect] section of its file; exit with status 3 when an expectation does not hold.
  --baseline FILE       Compare each check's result with the earlier run in FILE (the output of a run with --json); exit with status 3 when one changed.
  --fail-http           Fail a check whose request is answered with an HTTP status of 400 or above.
  --quiet               Report only the checks that need attention; a run where all is well prints nothing.
  --strict              With --dry-run: count every warning as an error.
  --reuse-connections   Send the requests over connections kept open between them (HTTP/2 where the controller offers it) instead of a new connection each.
  --reuse-session       Run every check in the session of the opening login instead of logging in once per check.
  --report-junit FILE   When the run ends, write a JUnit XML report of it to FILE (for CI).
  --report-html FILE    When the run ends, write an HTML report of it to FILE: one page that opens offline in a browser.
  --metrics FILE        When the run ends, write its outcome as Prometheus metrics to FILE (for node_exporter's textfile collector).
  --nagios              Run as a Nagios or Icinga plugin: a status line on standard output and the plugin's exit statuses.
  --in-flight N         Send up to N element requests of a compound check side by side (1 to 64); implies --reuse-connections.
  --tls-pin PIN         Talk only to a controller that presents the public key PIN (sha256//BASE64, as --tls-show-pin shows it; several joined by ';'); end the run otherwise, before anything is sent.
  --tls-ca FILE         Verify the controller's certificate chain and its name or address against the CA certificates in FILE (PEM) alone.
  --tls-show-pin        Show the pin and the certificate of the controller at --controller_ip, and exit; nothing is sent.
  --secret-file FILE    Read the password from the first line of FILE, which other users may not read or write (a pipe will do).
"""


def run_bytes(args, stdin=b"", preexec_fn=None, executable=None):
    """Like harness.run, for cases that need raw bytes or a changed child."""
    proc = subprocess.run(
        [executable or tarnwick_bin()] + [str(a) for a in args],
        input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        env=clean_env(), start_new_session=True, timeout=TIMEOUT,
        preexec_fn=preexec_fn)
    return proc.returncode, proc.stdout, proc.stderr


class TempDirTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="tarnwick-cli-"))
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.empty_dir = self.tmp / "empty"
        self.empty_dir.mkdir()

    def assert_connection_error(self, status, out, err):
        self.assertEqual(status, 1, err)
        self.assertTrue(err.startswith("tarnwick: connection error: "), err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertNotIn(PASSWORD, out + err)


class HelpTest(unittest.TestCase):
    def test_help_goes_to_stdout_and_ends_successfully(self):
        for args in (["-h"], ["--help"], ["--he"],
                     ["--username", "u", "--help", "--x"]):
            with self.subTest(args=args):
                status, out, err = run(args, stdin="10.0.0.1\n",
                                       timeout=TIMEOUT)
                self.assertEqual((status, out, err), (0, HELP, ""))

    def test_usage_names_the_program_as_started(self):
        with tempfile.TemporaryDirectory() as tmp:
            link = os.path.join(tmp, "tw")
            os.symlink(os.path.abspath(tarnwick_bin()), link)
            status, out, _ = run_bytes(["-h"], executable=link)
            self.assertEqual(status, 0)
            self.assertTrue(out.startswith(b"usage: tw [-h] [--controller_ip "),
                            out)


class ParseErrorTest(unittest.TestCase):
    def test_rejected_lines_exit_2_before_any_prompt(self):
        cases = [
            ["--co", "x"],                 # ambiguous prefix
            ["-h", "--c"],                 # ambiguous wins over help
            ["--password"],                # missing value
            ["--password", "-x"],          # a dash value must be attached
            ["--x"],                       # unknown option
            ["extra"],                     # positional argument
            ["--"],                        # no such option
            ["--help=x"],                  # help takes no value
        ]
        for args in cases:
            with self.subTest(args=args):
                status, out, err = run(args, stdin="10.0.0.1\npw\n",
                                       timeout=TIMEOUT)
                self.assertEqual(status, 2, err)
                self.assertEqual(out, "")
                lines = err.splitlines()
                self.assertTrue(lines[0].startswith(
                    "usage: tarnwick [-h] [--controller_ip CONTROLLER_IP]"),
                    err)
                self.assertTrue(lines[-1].startswith("tarnwick: error: "),
                                err)
                self.assertEqual(
                    sum(l.startswith("tarnwick: error: ") for l in lines), 1)

    def test_error_does_not_repeat_a_misplaced_password(self):
        status, _, err = run(["--passwrd=" + PASSWORD], timeout=TIMEOUT)
        self.assertEqual(status, 2)
        self.assertIn("'--passwrd'", err)
        self.assertNotIn(PASSWORD, err)


class AddressPromptTest(TempDirTestCase):
    def test_prompt_reads_the_address_from_stdin(self):
        # An empty --controller_ip counts as absent.
        for args in ([], ["--controller_ip="], ["--controller_ip", ""]):
            with self.subTest(args=args):
                status, out, err = run(
                    args + ["--password", PASSWORD,
                            "--config_dir", self.empty_dir],
                    stdin=UNREACHABLE + "\n", timeout=TIMEOUT)
                self.assertEqual(out, ADDRESS_PROMPT)
                self.assert_connection_error(status, out, err)
                self.assertIn(UNREACHABLE, err)

    def test_blank_address_option_is_used_without_prompt(self):
        status, out, err = run(
            ["--controller_ip", " ", "--password", PASSWORD,
             "--config_dir", self.empty_dir], stdin="x\n", timeout=TIMEOUT)
        self.assertEqual(status, 1, err)
        self.assertEqual(out, "")
        self.assertTrue(err.startswith("tarnwick: "), err)

    def test_address_and_password_given_read_nothing(self):
        status, out, err = run(
            ["--controller_ip", UNREACHABLE, "--password", PASSWORD,
             "--config_dir", self.empty_dir], stdin="x\n", timeout=TIMEOUT)
        self.assertEqual(out, "")
        self.assert_connection_error(status, out, err)

    def test_line_end_is_dropped_and_blanks_kept(self):
        for answer in (UNREACHABLE + "\r\n", UNREACHABLE):
            with self.subTest(answer=answer):
                status, out, err = run(
                    ["--password", PASSWORD, "--config_dir", self.empty_dir],
                    stdin=answer, timeout=TIMEOUT)
                self.assertEqual(out, ADDRESS_PROMPT)
                self.assert_connection_error(status, out, err)
        # An empty answer is used as it is, with no second prompt.
        status, out, err = run(
            ["--password", PASSWORD, "--config_dir", self.empty_dir],
            stdin="\n" + UNREACHABLE + "\n", timeout=TIMEOUT)
        self.assertEqual((status, out), (1, ADDRESS_PROMPT), err)
        self.assertNotIn(UNREACHABLE, err)

    def test_end_of_input_ends_the_run_without_login(self):
        status, out, err = run(
            ["--password", PASSWORD, "--config_dir", self.empty_dir],
            stdin="", timeout=TIMEOUT)
        self.assertEqual((status, out), (1, ADDRESS_PROMPT))
        self.assertEqual(
            err, "tarnwick: end of input: standard input ended at the "
                 "address prompt\n")

    def test_closed_stdin_is_end_of_input(self):
        status, out, err = run_bytes(
            ["--password", PASSWORD, "--config_dir", self.empty_dir],
            stdin=None, preexec_fn=lambda: os.close(0))
        self.assertEqual((status, out), (1, ADDRESS_PROMPT.encode()))
        self.assertTrue(err.startswith(b"tarnwick: end of input: "), err)

    def test_password_from_stdin_without_a_terminal(self):
        # No controlling terminal: the password is the next line of stdin,
        # read without a prompt.
        status, out, err = run(
            ["--config_dir", self.empty_dir],
            stdin=UNREACHABLE + "\n" + PASSWORD + "\n", timeout=TIMEOUT)
        self.assertEqual(out, ADDRESS_PROMPT)
        self.assert_connection_error(status, out, err)
        status, out, err = run(["--config_dir", self.empty_dir],
                               stdin=UNREACHABLE + "\n", timeout=TIMEOUT)
        self.assertEqual((status, out), (1, ADDRESS_PROMPT))
        self.assertEqual(
            err, "tarnwick: end of input: standard input ended at the "
                 "password prompt\n")

    def test_sigterm_at_the_prompt_reports_and_exits_143(self):
        proc = subprocess.Popen(
            [tarnwick_bin(), "--password", PASSWORD,
             "--config_dir", self.empty_dir],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=clean_env(), start_new_session=True)
        try:
            seen = read_until(proc.stdout.fileno(), ADDRESS_PROMPT.encode())
            self.assertEqual(seen, ADDRESS_PROMPT.encode())
            proc.send_signal(signal.SIGTERM)
            out, err = proc.communicate(timeout=TIMEOUT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 143)
        self.assertEqual(out, b"")
        self.assertEqual(err, b"tarnwick: interrupted: stopped by SIGTERM\n")


class DefaultConfigDirTest(TempDirTestCase):
    def install(self, with_config):
        """A copy of the binary in its own directory, with or without a
        check directory beside it; returns the copy's real path."""
        bin_dir = self.tmp / "bin"
        bin_dir.mkdir()
        copy = bin_dir / "tarnwick"
        shutil.copy2(tarnwick_bin(), copy)
        if with_config:
            (bin_dir / "config").mkdir()
        return pathlib.Path(os.path.realpath(copy))

    def test_missing_default_directory_is_reported_after_the_prompts(self):
        copy = self.install(with_config=False)
        status, out, err = run_bytes(
            ["--config_dir="],
            stdin=(UNREACHABLE + "\n" + PASSWORD + "\n").encode(),
            executable=copy)
        self.assertEqual(status, 1, err)
        self.assertEqual(out, ADDRESS_PROMPT.encode())
        # The directory error, not a connection error: no request was made.
        self.assertEqual(
            err.decode(), "tarnwick: file not found: Default config directory "
                          "not found: %s/config\n" % copy.parent)

    def test_default_directory_found_through_a_link_to_the_binary(self):
        copy = self.install(with_config=True)
        elsewhere = self.tmp / "elsewhere"
        elsewhere.mkdir()
        os.symlink(copy, elsewhere / "tarnwick")
        status, out, err = run_bytes(
            ["--controller_ip", UNREACHABLE, "--password", PASSWORD],
            executable=elsewhere / "tarnwick")
        # Past the directory test: the run reaches the opening login.
        self.assert_connection_error(status, out.decode(), err.decode())


class InterruptionDuringRequestTest(TempDirTestCase):
    """A listener that never answers holds the opening login, so a signal
    arrives while a request is under way."""

    def setUp(self):
        super().setUp()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(self.listener.close)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]

    def start(self, preexec_fn=None):
        proc = subprocess.Popen(
            [tarnwick_bin(), "--password", PASSWORD,
             "--config_dir", self.empty_dir],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=clean_env(), start_new_session=True,
            preexec_fn=preexec_fn)
        self.addCleanup(self.stop, proc)
        proc.stdin.write((self.address + "\n").encode())
        proc.stdin.flush()
        # The connection waits in the backlog: the login is under way.
        ready, _, _ = select.select([self.listener], [], [], TIMEOUT)
        self.assertTrue(ready, "tarnwick never connected")
        return proc

    def stop(self, proc):
        if proc.poll() is None:
            proc.kill()
        proc.communicate(timeout=TIMEOUT)

    def test_sigint_during_the_login_exits_130_keeping_stdout(self):
        proc = self.start()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 130)
        self.assertEqual(out, ADDRESS_PROMPT.encode())
        self.assertEqual(err, b"tarnwick: interrupted: stopped by SIGINT "
                         b"while waiting for 'https://%s/v1/api'\n" %
                         self.address.encode())

    def test_sigint_ignored_at_start_stays_ignored(self):
        proc = self.start(
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
        proc.send_signal(signal.SIGINT)
        with self.assertRaises(subprocess.TimeoutExpired):
            proc.wait(timeout=0.5)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 143)
        self.assertEqual(err, b"tarnwick: interrupted: stopped by SIGTERM "
                         b"while waiting for 'https://%s/v1/api'\n" %
                         self.address.encode())


def read_until(fd, wanted, deadline_seconds=TIMEOUT):
    """Reads from fd until wanted has arrived, the other side closes, or the
    deadline passes; returns all bytes read."""
    data = b""
    deadline = time.monotonic() + deadline_seconds
    while wanted not in data:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            break
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the terminal's other side is gone
            break
        if not chunk:
            break
        data += chunk
    return data


def wait_for_exit(pid, deadline_seconds=TIMEOUT):
    """Exit status of pid; kills it when it outlives the deadline."""
    deadline = time.monotonic() + deadline_seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError("tarnwick did not end within %s s" % deadline_seconds)


def echo_is_on(fd):
    return bool(termios.tcgetattr(fd)[3] & termios.ECHO)


class PasswordPromptTest(TempDirTestCase):
    def spawn(self, args):
        """Starts the binary with a new pseudo-terminal as its controlling
        terminal (and standard streams); returns (pid, master fd)."""
        argv = [tarnwick_bin()] + [str(a) for a in args]
        env = clean_env()
        pid, fd = pty.fork()
        if pid == 0:  # the child: nothing but exec
            try:
                os.execve(argv[0], argv, env)
            finally:
                os._exit(127)
        self.addCleanup(os.close, fd)
        return pid, fd

    def test_password_is_read_without_echo_and_echo_comes_back(self):
        pid, fd = self.spawn(["--config_dir", self.empty_dir])
        seen = read_until(fd, ADDRESS_PROMPT.encode())
        self.assertTrue(seen.endswith(ADDRESS_PROMPT.encode()), seen)
        self.assertTrue(echo_is_on(fd))
        os.write(fd, (UNREACHABLE + "\n").encode())
        seen = read_until(fd, PASSWORD_PROMPT.encode())
        self.assertTrue(seen.endswith(PASSWORD_PROMPT.encode()), seen)
        self.assertFalse(echo_is_on(fd))
        os.write(fd, (PASSWORD + "\n").encode())
        rest = read_until(fd, b"\x00never")  # everything to the end
        status = wait_for_exit(pid)
        self.assertTrue(echo_is_on(fd))
        self.assertNotIn(PASSWORD.encode(), rest)
        # The line end after the hidden answer, then the login's failure.
        self.assertTrue(rest.startswith(b"\r\ntarnwick: connection error: "),
                        rest)
        self.assertEqual(status, 1)

    def test_ctrl_c_at_the_password_prompt_restores_echo_and_exits_130(self):
        pid, fd = self.spawn(["--controller_ip", UNREACHABLE,
                              "--config_dir", self.empty_dir])
        seen = read_until(fd, PASSWORD_PROMPT.encode())
        self.assertTrue(seen.endswith(PASSWORD_PROMPT.encode()), seen)
        self.assertFalse(echo_is_on(fd))
        os.write(fd, PASSWORD[:4].encode() + b"\x03")  # half typed, then ^C
        rest = read_until(fd, b"\x00never")
        status = wait_for_exit(pid)
        self.assertEqual(status, 130)
        self.assertTrue(echo_is_on(fd))
        self.assertNotIn(PASSWORD[:4].encode(), rest)
        self.assertIn(b"tarnwick: interrupted: stopped by SIGINT\r\n", rest)
        self.assertNotIn(b"connection error", rest)

    def test_end_of_input_at_the_password_prompt(self):
        pid, fd = self.spawn(["--controller_ip", UNREACHABLE,
                              "--config_dir", self.empty_dir])
        read_until(fd, PASSWORD_PROMPT.encode())
        os.write(fd, b"\x04")  # ^D on an empty line
        rest = read_until(fd, b"\x00never")
        status = wait_for_exit(pid)
        self.assertEqual(status, 1)
        self.assertTrue(echo_is_on(fd))
        self.assertIn(b"tarnwick: end of input: terminal input ended at the "
                      b"password prompt", rest)


if __name__ == "__main__":
    unittest.main()
