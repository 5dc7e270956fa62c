"""Whom tarnwick talks to, and where its password comes from: --tls-pin,
--tls-ca and --tls-show-pin against stand-in controllers that serve
certificates made here with openssl (RSA and ECDSA keys, signed by a CA of
the test's own, expired, for another name), and --secret-file.

A run that refuses the controller must send nothing at all: the stand-in
logs every request it reads, and its log stays empty.
"""

import json
import os
import pathlib
import subprocess
import tempfile
import unittest

from harness import StubController, openssl_pin, run, write_checks

TIMEOUT = 60  # seconds for any one run
PASSWORD = "s3cr3t-Pw"
CHECKS = {"a.cfg": "[default]\ndescription = A\n[orvantis]\naction = show\n"}
REPLIES = {"show.json": {"up": True}}


def openssl(*args, stdin=None):
    return subprocess.run(["openssl", *args], input=stdin, check=True,
                          capture_output=True, timeout=TIMEOUT).stdout


def make_key(path, kind):
    if kind == "rsa":
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt",
                "rsa_keygen_bits:2048", "-out", path)
    else:
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt",
                "ec_paramgen_curve:P-256", "-out", path)


def make_ca(directory, name):
    """A self-signed CA: its certificate and key paths."""
    cert, key = directory / f"{name}.pem", directory / f"{name}.key"
    make_key(key, "ec")
    openssl("req", "-x509", "-new", "-key", key, "-out", cert, "-days", "2",
            "-subj", f"/CN={name}")
    return cert, key


def make_served(directory, name, kind, alt_names, ca, days="2"):
    """A certificate signed by ca, with its key, as the stand-in serves it:
    DIR/NAME/cert.pem and key.pem. Negative days make it expired."""
    served = directory / name
    served.mkdir()
    make_key(served / "key.pem", kind)
    csr = directory / f"{name}.csr"
    openssl("req", "-new", "-key", served / "key.pem", "-out", csr, "-subj",
            "/CN=controller")
    extensions = directory / f"{name}.ext"
    extensions.write_text(f"subjectAltName={alt_names}\n")
    openssl("x509", "-req", "-in", csr, "-CA", ca[0], "-CAkey", ca[1],
            "-CAcreateserial", "-out", served / "cert.pem", "-days", days,
            "-extfile", extensions)
    return served


class TlsTrustTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        tmp = pathlib.Path(cls.enterClassContext(
            tempfile.TemporaryDirectory(prefix="tarnwick-tls.")))
        cls.tmp = tmp
        cls.ca, other_ca = make_ca(tmp, "ca"), make_ca(tmp, "other-ca")
        cls.ca_file, cls.other_ca_file = str(cls.ca[0]), str(other_ca[0])
        served = {
            "rsa": make_served(tmp, "rsa", "rsa", "IP:127.0.0.1", cls.ca),
            "ecdsa": make_served(tmp, "ecdsa", "ec", "IP:127.0.0.1", cls.ca),
            "localhost": make_served(tmp, "localhost", "ec", "DNS:localhost",
                                     cls.ca),
            "other name": make_served(tmp, "name", "ec",
                                      "DNS:ctrl.example.net", cls.ca),
            "expired": make_served(tmp, "expired", "ec", "IP:127.0.0.1",
                                   cls.ca, days="-1"),
        }
        cls.pins = {name: openssl_pin(d / "cert.pem")
                    for name, d in served.items()}
        cls.certs = {name: d / "cert.pem" for name, d in served.items()}
        cls.stubs = {name: cls.enterClassContext(StubController(
            REPLIES, None, ["--cert-dir", d, "--password", PASSWORD]))
            for name, d in served.items()}
        cls.checks = write_checks(tmp / "checks", CHECKS)

    def run_against(self, name, *options, address=None, stdin=None,
                    password=True):
        """Runs the check directory against the stand-in of name; returns
        (status, out, err) and the requests that stand-in received."""
        stub = self.stubs[name]
        before = len(stub.requests())
        address = address or stub.address
        args = ["--config_dir", self.checks, "--controller_ip", address]
        if password:
            args += ["--password", PASSWORD]
        result = run(args + list(options), stdin=stdin, timeout=TIMEOUT)
        self.assertNotIn(PASSWORD, result[1] + result[2])
        return result, stub.requests()[before:]

    def refused(self, name, why, address=None):
        url = f"https://{address or self.stubs[name].address}/v1/api"
        return (f"tarnwick: connection error: the controller at '{url}' "
                f"{why}; nothing was sent\n")

    def assert_ran(self, result, requests):
        self.assertEqual(result, (0, "A\n{'up': True}\n\n\n", ""))
        self.assertEqual([r["action"] for r in requests],
                         ["login", "login", "show"])

    def test_pins(self):
        pins = self.pins
        wrong = f"presented key {pins['ecdsa']}, which matches no --tls-pin"
        rows = [
            ("RSA key", "rsa", [pins["rsa"]], None),
            ("ECDSA key", "ecdsa", [pins["ecdsa"]], None),
            ("two pins, one matching", "ecdsa",
             [pins["rsa"] + ";" + pins["ecdsa"]], None),
            ("wrong pin", "ecdsa", [pins["rsa"]], wrong),
            # Every later request would reach the same impostor.
            ("wrong pin, going on past failures over kept connections",
             "ecdsa", [pins["rsa"], "--keep-going", "--in-flight", "4"],
             wrong),
        ]
        for name, stub, (pin, *more), why in rows:
            with self.subTest(name):
                result, requests = self.run_against(stub, "--tls-pin", pin,
                                                    *more)
                if why is None:
                    self.assert_ran(result, requests)
                else:
                    self.assertEqual(result, (1, "", self.refused(stub, why)))
                    self.assertEqual(requests, [])
        with self.subTest("malformed pin"):
            (status, out, err), requests = self.run_against(
                "rsa", "--tls-pin", pins["rsa"][:-1])
            self.assertEqual((status, out, requests), (2, "", []))
            self.assertTrue(err.endswith(
                "error: option '--tls-pin' expects sha256// and the base64 "
                "of a SHA-256 hash, several joined by ';'\n"), err)

    def test_ca_file(self):
        ca, other = self.ca_file, self.other_ca_file
        unknown = (f"failed --tls-ca '{other}': the certificate's issuer is "
                   "unknown: no certificate of that file signed it")
        localhost = "localhost:%d" % self.stubs["localhost"].port
        rows = [
            ("signed by the CA, IP address", "rsa", ["--tls-ca", ca], None),
            ("signed by the CA, host name", "localhost", ["--tls-ca", ca],
             None),
            ("another CA", "rsa", ["--tls-ca", other], unknown),
            ("expired", "expired", ["--tls-ca", ca],
             f"failed --tls-ca '{ca}': the certificate has expired"),
            ("name mismatch", "other name", ["--tls-ca", ca],
             f"failed --tls-ca '{ca}': the certificate is for "
             "'ctrl.example.net', not '127.0.0.1'"),
            ("CA and pin hold", "ecdsa",
             ["--tls-ca", ca, "--tls-pin", self.pins["ecdsa"]], None),
            ("CA holds, pin does not", "ecdsa",
             ["--tls-ca", ca, "--tls-pin", self.pins["rsa"]],
             f"presented key {self.pins['ecdsa']}, which matches no "
             "--tls-pin"),
            ("pin holds, CA does not", "rsa",
             ["--tls-ca", other, "--tls-pin", self.pins["rsa"]], unknown),
        ]
        for name, stub, options, why in rows:
            with self.subTest(name):
                address = localhost if stub == "localhost" else None
                result, requests = self.run_against(stub, *options,
                                                    address=address)
                if why is None:
                    self.assert_ran(result, requests)
                else:
                    self.assertEqual(result, (1, "", self.refused(stub, why)))
                    self.assertEqual(requests, [])
        with self.subTest("missing CA file"):
            missing = str(self.tmp / "missing.pem")
            result, requests = self.run_against("rsa", "--tls-ca", missing)
            self.assertEqual(result, (1, "", "tarnwick: file not found: no "
                                      f"such file: '{missing}'\n"))
            self.assertEqual(requests, [])

    def test_show_pin_is_the_pin_openssl_computes(self):
        for name in ("rsa", "ecdsa"):
            cert = self.certs[name]
            fingerprint = openssl("x509", "-in", cert, "-noout",
                                  "-fingerprint", "-sha256").decode()
            fingerprint = fingerprint.strip().split("=", 1)[1]
            with self.subTest(name):
                # No password given or read: standard input is empty.
                (status, out, err), requests = self.run_against(
                    name, "--tls-show-pin", password=False)
                self.assertEqual((status, err, requests), (0, "", []))
                lines = dict(line.split(": ", 1)
                             for line in out.splitlines())
                self.assertEqual(list(lines), [
                    "pin", "subject", "issuer", "not_before", "not_after",
                    "subject_alt_names", "sha256_fingerprint"])
                self.assertEqual(lines["pin"], self.pins[name])
                self.assertEqual(lines["sha256_fingerprint"], fingerprint)
                self.assertEqual(lines["issuer"], "CN=ca")
                self.assertEqual(lines["subject_alt_names"], "IP:127.0.0.1")
                (status, out, err), requests = self.run_against(
                    name, "--tls-show-pin", "--json", password=False)
                self.assertEqual((status, err, requests), (0, "", []))
                self.assertEqual(json.loads(out), dict(
                    lines, subject_alt_names=["IP:127.0.0.1"]))
                self.assertEqual(out.count("\n"), 1)

    def test_secret_file(self):
        secret = self.tmp / "secret"

        def written(content, mode):
            secret.write_bytes(content)
            os.chmod(secret, mode)
            return str(secret)

        others = ("tarnwick: file access error: '%s' can be read by other "
                  "users (mode 0644); chmod 600 it\n" % secret)
        empty = ("tarnwick: file access error: '%s' holds no password on its "
                 "first line\n" % secret)
        rows = [
            ("owner only", lambda: written(b"s3cr3t-Pw\n", 0o600), [], None,
             None),
            ("group may read, CR LF", lambda: written(b"s3cr3t-Pw\r\nx", 0o640),
             [], None, None),
            ("others may read", lambda: written(b"s3cr3t-Pw\n", 0o644), [],
             None, (1, others)),
            ("empty", lambda: written(b"", 0o600), [], None, (1, empty)),
            ("a pipe", lambda: "/dev/stdin", [], "s3cr3t-Pw\n", None),
            ("empty --password counts as absent",
             lambda: written(b"s3cr3t-Pw", 0o600), ["--password="], None,
             None),
            ("with --password", lambda: written(b"s3cr3t-Pw", 0o600),
             ["--password", "x"], None, (2, "option '--secret-file' does not "
                                            "go with '--password'\n")),
        ]
        for name, path, more, stdin, failure in rows:
            with self.subTest(name):
                result, requests = self.run_against(
                    "rsa", "--secret-file", path(), *more, stdin=stdin,
                    password=False)
                if failure is None:
                    self.assert_ran(result, requests)
                    self.assertEqual(requests[0]["fields"][2],
                                     ["password", PASSWORD])
                else:
                    status, out, err = result
                    self.assertEqual((status, out, requests),
                                     (failure[0], "", []))
                    self.assertTrue(err.endswith(failure[1]), err)


if __name__ == "__main__":
    unittest.main()
