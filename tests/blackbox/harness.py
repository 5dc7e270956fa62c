"""Helpers shared by the black-box tests.

    with StubController({"show.json": {"a": 1}}) as stub:
        checks = write_checks(stub.dir / "checks", {"a.cfg": "..."})
        status, out, err = run(["--config_dir", str(checks),
                                "--controller_ip", stub.address,
                                "--password", "x"])
        self.assertEqual(stub.requests()[0]["action"], "login")

TARNWICK_BIN names the executable under test; TARNWICK_SOURCE_DIR the
source tree (default: two levels above this file). Both are set by CTest.
"""

import base64
import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = pathlib.Path(
    os.environ.get("TARNWICK_SOURCE_DIR",
                   pathlib.Path(__file__).resolve().parents[2]))
STUB = SOURCE_DIR / "tools" / "stub_controller.py"
READY_TIMEOUT = 30  # seconds for the stub to make its certificate and listen
STUB_LIFETIME = 120  # seconds; a stub that outlives its test exits by itself

def tarnwick_bin():
    path = os.environ.get("TARNWICK_BIN")
    if not path:
        raise RuntimeError("set TARNWICK_BIN to the tarnwick executable")
    return path


def clean_env(env_extra=None):
    """PATH, HOME and LANG=C.UTF-8 plus env_extra, nothing else: no proxy
    variable sends the binary's requests elsewhere."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": os.environ.get("HOME", "/"),
        "LANG": "C.UTF-8",
    }
    env.update(env_extra or {})
    return env


def run(args, stdin=None, timeout=60, env_extra=None, stdout=None):
    """Runs the binary with args; returns (exit status, stdout, stderr).

    stdin is a text (or None for an empty standard input); there is no
    controlling terminal. Outputs are decoded as UTF-8, undecodable bytes
    kept as surrogate escapes so nothing is hidden from a comparison.
    stdout: an open file to write standard output to instead (the stdout
    returned is then "").
    """
    proc = subprocess.run(
        [tarnwick_bin()] + [str(a) for a in args],
        input=(stdin or "").encode("utf-8", "surrogateescape"),
        stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE,
        env=clean_env(env_extra), start_new_session=True, timeout=timeout)
    decode = lambda b: b.decode("utf-8", "surrogateescape")  # noqa: E731
    return proc.returncode, decode(proc.stdout or b""), decode(proc.stderr)


def wait_for(condition, what, deadline_seconds):
    """The first true value of condition(), polled until the deadline;
    fails the test with `what` when none comes."""
    deadline = time.monotonic() + deadline_seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def openssl_pin(cert):
    """The public-key pin of the PEM certificate at cert, as an operator
    computes it with openssl for --tls-pin."""
    def openssl(*args, stdin=None):
        return subprocess.run(["openssl", *map(str, args)], input=stdin,
                              check=True, capture_output=True,
                              timeout=60).stdout
    public = openssl("x509", "-in", cert, "-pubkey", "-noout")
    der = openssl("pkey", "-pubin", "-outform", "der", stdin=public)
    digest = openssl("dgst", "-sha256", "-binary", stdin=der)
    return "sha256//" + base64.b64encode(digest).decode()


def write_files(directory, files):
    """Writes {name: content} into directory (made if needed); returns it.

    A content that is not a str or bytes is written as JSON.
    """
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    for name, content in files.items():
        path = directory / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        elif isinstance(content, str):
            path.write_bytes(content.encode("utf-8"))
        else:
            path.write_text(json.dumps(content), encoding="utf-8")
    return directory


def write_checks(directory, checks):
    """Writes a check directory from {file name: text}; returns its path."""
    return write_files(directory, checks)


class StubController:
    """The stand-in controller in a temporary directory, as a context manager.

    replies: {file name: dict or str} for the replies directory, e.g.
    {"show.json": {"a": 1}}; rules: a list of rules (see
    tools/stub_controller.py); args: more command-line arguments, e.g.
    ["--password", "x"]. .dir is the temporary directory, removed on exit;
    tests may put their own files there.
    """

    def __init__(self, replies=None, rules=None, args=()):
        self._replies = replies or {}
        self._rules = rules
        self._args = [str(a) for a in args]
        self._proc = None
        self._stderr = None
        self._tmp = None
        self.port = None

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def __enter__(self):
        self._tmp = tempfile.mkdtemp(prefix="tarnwick-blackbox.")
        self.dir = pathlib.Path(self._tmp)
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self):
        replies = write_files(self.dir / "replies", self._replies)
        self.log_path = self.dir / "requests.jsonl"
        self.log_path.touch()
        command = [sys.executable, str(STUB), "--replies", str(replies),
                   "--log", str(self.log_path),
                   "--lifetime", str(STUB_LIFETIME)]
        if self._rules is not None:
            rules = self.dir / "rules.json"
            rules.write_text(json.dumps({"rules": self._rules}))
            command += ["--rules", str(rules)]
        # stderr goes to a file: a pipe nobody reads could fill and stall it.
        self._stderr = open(self.dir / "stub.stderr", "wb")
        self._proc = subprocess.Popen(
            command + self._args, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=self._stderr,
            start_new_session=True)
        line = self._read_line(READY_TIMEOUT)
        prefix = "listening on 127.0.0.1:"
        if not line.startswith(prefix):
            raise RuntimeError(
                f"stub controller did not start ({line!r}): " +
                (self.dir / "stub.stderr").read_text(errors="replace"))
        self.port = int(line[len(prefix):])

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        data = b""
        fd = self._proc.stdout.fileno()
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return data.decode(errors="replace") + " (timed out)"
            chunk = os.read(fd, 256)
            if not chunk:
                break
            data += chunk
        return data.decode(errors="replace").strip()

    def requests(self):
        """Every request so far, parsed from the stub's log, in order. A
        line the stub is still writing (no line end yet) is not one yet."""
        with open(self.log_path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        return [json.loads(line) for line in lines[:-1] if line.strip()]

    def __exit__(self, *exc):
        if self._proc is not None:
            self._proc.terminate()
            try:
                self._proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait(timeout=10)
            self._proc.stdout.close()
            self._proc = None
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None
        if self._tmp is not None:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None
        return False
