"""tarnwick_exporter's --web.config.file: TLS on its own port (with client
certificates and a minimum version) and basic authentication, driven with
curl, with certificates made by openssl."""

import signal
import subprocess
import tempfile
import unittest

from exporter_harness import (Exporter, auth_yaml, bcrypt_hash, config_yaml,
                              make_certificates, module_yaml, run_exporter)
from harness import wait_for, write_checks

CONFIG = config_yaml([module_yaml("gw", "checks")],
                     [auth_yaml("site", '["127.0.0.1"]')])
CHECKS = {"checks": {"a.cfg": "[orvantis]\naction = show_site\n"}}
TLS = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"


def users(**passwords):
    return "basic_auth_users:\n" + "".join(
        f"  {name}: '{bcrypt_hash(password)}'\n"
        for name, password in passwords.items())


class WebConfigTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="tarnwick-certs.")
        cls.certs = make_certificates(cls._tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def exporter(self, web):
        files = dict(self.certs, **{"web.yml": web})
        return Exporter(CONFIG, CHECKS, files=files,
                        args=["--web.config.file=web.yml",
                              "--web.enable-lifecycle"])

    def curl(self, exporter, path="/metrics", *args):
        """The status curl reports over TLS (0 when no answer came)."""
        proc = subprocess.run(
            ["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}",
             "--max-time", "20", "--cacert", "ca.crt", *args,
             f"https://127.0.0.1:{exporter.port}{path}"],
            cwd=exporter.dir, capture_output=True, timeout=60)
        return int(proc.stdout or 0)

    def test_every_path_is_behind_basic_auth(self):
        with self.exporter(TLS + users(alice="pw1", bob="pw2")) as exp:
            self.assertEqual(self.curl(exp, "/metrics", "-u", "alice:pw1"),
                             200)
            self.assertEqual(self.curl(exp, "/metrics", "-u", "alice:pw1"),
                             200)  # from the cache
            self.assertEqual(self.curl(exp, "/metrics", "-u", "bob:pw2"), 200)
            for path, auth in (("/metrics", []), ("/", []),
                               ("/probe?target=127.0.0.1&module=gw",
                                ["-u", "alice:pw2"]),
                               ("/metrics", ["-u", "mallory:pw1"])):
                self.assertEqual(self.curl(exp, path, *auth), 401,
                                 (path, auth))
            proc = subprocess.run(
                ["curl", "-sS", "-D", "-", "-o", "/dev/null", "--cacert",
                 "ca.crt", f"https://127.0.0.1:{exp.port}/metrics"],
                cwd=exp.dir, capture_output=True, timeout=60)
            self.assertIn(b"WWW-Authenticate: Basic\r\n", proc.stdout)
            self.assertNotIn("pw1", exp.log())

    def test_each_client_auth_type_takes_its_clients(self):
        none, other, good = [], ["--cert", "other.crt", "--key", "other.key"], \
            ["--cert", "client.crt", "--key", "client.key"]
        # The status each client gets: 0 for a refused handshake.
        rows = (("RequestClientCert", 200, 200, 200),
                ("RequireAnyClientCert", 0, 200, 200),
                ("VerifyClientCertIfGiven", 200, 0, 200),
                ("RequireAndVerifyClientCert", 0, 0, 200))
        for auth, *statuses in rows:
            web = TLS + f"  client_auth_type: {auth}\n"
            if auth.startswith(("Verify", "RequireAndVerify")):
                web += "  client_ca_file: ca.crt\n"
            with self.subTest(auth), self.exporter(web) as exp:
                self.assertEqual([self.curl(exp, "/metrics", *client)
                                  for client in (none, other, good)],
                                 statuses)

    def test_min_version_tls13_refuses_tls12(self):
        with self.exporter(TLS + "  min_version: TLS13\n") as exp:
            self.assertEqual(self.curl(exp, "/metrics", "--tls-max", "1.2"),
                             0)
            self.assertEqual(self.curl(exp), 200)

    def test_a_bad_file_ends_the_start_and_fails_the_check(self):
        rows = (
            ([], TLS + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
             "web.yml:4: tls_server_config: 'cipher_suites' is not "
             "supported by tarnwick_exporter"),
            (["--config.check"],
             "tls_server_config:\n  cert_file: server.crt\n"
             "  key_file: other.key\n",
             "other.key': the key is not the one of the certificate in"),
        )
        for flags, web, message in rows:
            with self.subTest(flags=flags), \
                    tempfile.TemporaryDirectory(prefix="tarnwick-web.") as tmp:
                write_checks(tmp, dict(self.certs, **{
                    "web.yml": web, "tarnwick_exporter.yml": CONFIG}))
                write_checks(f"{tmp}/checks", CHECKS["checks"])
                status, _, err = run_exporter(
                    [f"--config.file={tmp}/tarnwick_exporter.yml",
                     f"--web.config.file={tmp}/web.yml",
                     "--web.listen-address=127.0.0.1:0", *flags])
                self.assertEqual(status, 1, err)
                self.assertIn(message, err)

    def test_a_reload_changes_the_users_and_a_bad_one_keeps_them(self):
        with self.exporter(TLS + users(alice="pw1")) as exp:
            self.assertEqual(self.curl(exp, "/metrics", "-u", "alice:pw1"),
                             200)
            (exp.dir / "web.yml").write_text(TLS + users(bob="pw2"))
            exp.signal(signal.SIGHUP)
            wait_for(lambda: self.curl(exp, "/metrics", "-u", "bob:pw2") ==
                     200, "bob to be let in", 20)
            self.assertEqual(self.curl(exp, "/metrics", "-u", "alice:pw1"),
                             401)
            # A certificate of another CA serves the next connection.
            (exp.dir / "web.yml").write_text(
                "tls_server_config:\n  cert_file: other.crt\n"
                "  key_file: other.key\n" + users(bob="pw2"))
            exp.signal(signal.SIGHUP)
            wait_for(lambda: self.curl(exp, "/metrics", "-u", "bob:pw2") == 0,
                     "the certificate to change", 20)
            self.assertEqual(self.curl(exp, "/metrics", "-u", "bob:pw2", "-k"),
                             200)
            (exp.dir / "web.yml").write_text(users(carol="pw3"))
            self.assertEqual(
                self.curl(exp, "/-/reload", "-X", "POST", "-u", "bob:pw2",
                          "-k"),
                500)
            self.assertIn("tls_server_config cannot be removed", exp.log())
            self.assertEqual(
                self.curl(exp, "/metrics", "-u", "bob:pw2", "-k"), 200)
            self.assertEqual(self.curl(exp, "/metrics", "-u", "carol:pw3",
                                       "-k"), 401)


if __name__ == "__main__":
    unittest.main()
