"""Helpers for the black-box tests of tarnwick_exporter.

    with StubController() as stub, Exporter(config_for(stub.dir)) as exp:
        status, headers, body = exp.get("/probe", target=stub.address)

TARNWICK_EXPORTER_BIN names the executable under test (set by CTest).
"""

import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

from harness import clean_env, wait_for, write_checks

PASSWORD = "hunter2-s3cret"
START_TIMEOUT = 30  # seconds for the exporter to read its configuration


def exporter_bin():
    path = os.environ.get("TARNWICK_EXPORTER_BIN")
    if not path:
        raise RuntimeError("set TARNWICK_EXPORTER_BIN to tarnwick_exporter")
    return os.path.abspath(path)


def run_exporter(args, timeout=60):
    """Runs the exporter to its end; returns (status, stdout, stderr)."""
    proc = subprocess.run([exporter_bin()] + [str(a) for a in args],
                          stdin=subprocess.DEVNULL, capture_output=True,
                          env=clean_env(), start_new_session=True,
                          timeout=timeout)
    return (proc.returncode, proc.stdout.decode(errors="replace"),
            proc.stderr.decode(errors="replace"))


def module_yaml(name, checks, **keys):
    lines = [f"  {name}:", f"    checks: {checks}"]
    lines += [f"    {key}: {value}" for key, value in keys.items()]
    return "\n".join(lines) + "\n"


def auth_yaml(name, targets, **keys):
    keys.setdefault("insecure_skip_verify", "true")
    lines = [f"  {name}:", "    username: admin",
             "    password_file: password", f"    targets: {targets}"]
    lines += [f"    {key}: {value}" for key, value in keys.items()]
    return "\n".join(lines) + "\n"


def config_yaml(modules, auths):
    """A configuration from module_yaml and auth_yaml pieces."""
    return "modules:\n" + "".join(modules) + "auths:\n" + "".join(auths)


def parse_metrics(text):
    """{'name{labels}': value} of the samples of a text-format answer."""
    samples = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, value = line.rsplit(" ", 1)
            samples[key] = float(value)
    return samples


def promtool():
    return shutil.which("promtool")


def check_metrics(test, text):
    """Fails test unless promtool (where installed) accepts text."""
    tool = promtool()
    if tool is None:
        return
    proc = subprocess.run([tool, "check", "metrics"], input=text.encode(),
                          capture_output=True, timeout=60)
    test.assertEqual(proc.returncode, 0, proc.stdout.decode() +
                     proc.stderr.decode() + "\n" + text)


def bcrypt_hash(password, cost=4):
    """A bcrypt hash of password, as htpasswd -B makes one (libxcrypt
    through Python's crypt; the lowest cost keeps the tests quick)."""
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt
    return crypt.crypt(password, crypt.mksalt(crypt.METHOD_BLOWFISH,
                                              rounds=1 << cost))


def make_certificates(directory):
    """With openssl, in directory: ca.crt/ca.key, server.crt/server.key for
    127.0.0.1 signed by it, client.crt/client.key signed by it for client
    authentication, and other.crt/other.key, a client of another CA.
    Returns {name: PEM text}."""
    directory = pathlib.Path(directory)

    def openssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=directory, check=True,
                       capture_output=True, timeout=60)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.crt",
            "-days", "2", "-subj", "/CN=tarnwick test CA")
    openssl("req", "-x509", *ec, "-keyout", "other.key", "-out", "other.crt",
            "-days", "2", "-subj", "/CN=another CA",
            "-addext", "extendedKeyUsage=clientAuth")
    for name, extension in (
            ("server", "subjectAltName=IP:127.0.0.1"),
            ("client", "extendedKeyUsage=clientAuth")):
        (directory / f"{name}.ext").write_text(extension + "\n")
        openssl("req", *ec, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN={name}")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt",
                "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
                "-out", f"{name}.crt", "-extfile", f"{name}.ext")
    return {f"{n}.{e}": (directory / f"{n}.{e}").read_text()
            for n in ("ca", "server", "client", "other")
            for e in ("crt", "key")}


class Exporter:
    """tarnwick_exporter in a temporary directory, as a context manager.

    config: the YAML text, written as DIR/tarnwick_exporter.yml beside a
    password file DIR/password (mode 0600) holding PASSWORD; checks:
    {directory: {file: text}} written under DIR; files: {name: text} written
    in DIR; args: more flags.
    """

    def __init__(self, config, checks=None, args=(), files=None):
        self._config = config
        self._checks = checks or {}
        self._files = files or {}
        self._args = [str(a) for a in args]
        self._proc = None
        self._log = None
        self._tmp = None
        self.port = None

    def __enter__(self):
        self._tmp = tempfile.mkdtemp(prefix="tarnwick-exporter.")
        self.dir = pathlib.Path(self._tmp)
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self):
        for directory, files in self._checks.items():
            write_checks(self.dir / directory, files)
        write_checks(self.dir, self._files)
        password = self.dir / "password"
        password.write_text(PASSWORD + "\n")
        password.chmod(0o600)
        self.config_path = self.dir / "tarnwick_exporter.yml"
        self.config_path.write_text(self._config)
        self.log_path = self.dir / "exporter.log"
        self._log = open(self.log_path, "wb")
        self._proc = subprocess.Popen(
            [exporter_bin(), "--config.file=" + str(self.config_path),
             "--web.listen-address=127.0.0.1:0", "--log.level=debug"] +
            self._args,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=self._log, env=clean_env(), cwd=self.dir,
            start_new_session=True)
        line = wait_for(self._listening, "the exporter to listen",
                        START_TIMEOUT)
        self.port = int(line)

    def _listening(self):
        if self._proc.poll() is not None:
            raise RuntimeError("the exporter ended: " + self.log())
        found = re.search(r"msg=listening address=127\.0\.0\.1:(\d+)",
                          self.log())
        return found and found.group(1)

    def log(self):
        return self.log_path.read_text(errors="replace")

    def url(self, path, **query):
        return (f"http://127.0.0.1:{self.port}{path}" +
                ("?" + urllib.parse.urlencode(query) if query else ""))

    def request(self, path, method="GET", headers=None, timeout=30,
                **query):
        """Returns (status, headers, body as text)."""
        request = urllib.request.Request(self.url(path, **query),
                                         method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as reply:
                return reply.status, reply.headers, reply.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read().decode()

    def get(self, path, headers=None, **query):
        return self.request(path, headers=headers, **query)

    def signal(self, number):
        self._proc.send_signal(number)

    def stop(self, timeout=10):
        """Stops it with SIGTERM; returns its exit status."""
        self._proc.send_signal(signal.SIGTERM)
        return self._proc.wait(timeout=timeout)

    def __exit__(self, *exc):
        if self._proc is not None:
            if self._proc.poll() is None:
                self._proc.kill()
            self._proc.wait(timeout=10)
            self._proc = None
        if self._log is not None:
            self._log.close()
            self._log = None
        if self._tmp is not None:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None
        return False


