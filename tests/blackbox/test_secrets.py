"""The password and the session id never reach what tarnwick writes, in any
spelling, when the controller echoes a request back: a login page that shows
the form body in a 401, a check's error that does, as HTML or as JSON. Looked
for on standard output, standard error and in every report file."""

import html
import json
import unittest

from harness import StubController, run, write_checks

ECHOES = ("form", "form_lower", "decoded", "slashes", "decimal", "hex")

# Every kind of character the form encoder escapes: blank, the ASCII
# punctuation, control characters, two-, three- and four-byte UTF-8.
PASSWORDS = [
    "S3cret-Pw!",
    "my pass&x=1",
    "100%\u00fc+\u20ac",
    "q\"u'o<t>e/\\s#?;:,~",
    "$(a)@[b]^`{c}|d",
    "tab\there\U0001F600",
]


def session_id(password):
    return "sid/" + password[::-1]


def spellings(secret):
    """The spellings a controller may echo secret in."""
    def form(lower):
        out = ""
        for b in secret.encode():
            c = chr(b)
            if c.isascii() and (c.isalnum() or c in "*-._"):
                out += c
            elif c == " ":
                out += "+"
            else:
                out += ("%%%02x" if lower else "%%%02X") % b
        return out

    def references(pattern):
        return "".join(c if c.isascii() and c.isalnum() else
                       pattern % ord(c) for c in secret)

    json_text = json.dumps(secret)[1:-1]
    return {secret, form(False), form(True), json_text,
            json_text.replace("/", "\\/"), html.escape(secret),
            references("&#%d;"), references("&#x%x;")}


def views(name, text):
    """text as written, and as a reader of its format gets it back."""
    seen = [text]
    if name.endswith(".xml"):
        seen.append(html.unescape(text))
    if name == "stdout" or name.endswith(".jsonl"):
        for line in text.splitlines():
            try:
                seen.append(json.dumps(json.loads(line), ensure_ascii=False))
            except ValueError:
                pass
    return seen


class SecretsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        rules = []
        for echo in ECHOES:
            rules.append({"action": "login", "fields": {"username": echo},
                          "status": 401, "echo": echo,
                          "content_type": "text/html"})
        rules.append({"action": "login", "fields": {"username": "json"},
                      "status": 401, "echo": "decoded"})
        for password in PASSWORDS:
            rules.append({"action": "login",
                          "fields": {"username": "ok", "password": password},
                          "json": {"CID": session_id(password)}})
        checks = {}
        for echo in ECHOES:
            for page in ("html", "json"):
                action = page + "-" + echo
                rule = {"action": action, "status": 401, "echo": echo}
                if page == "html":
                    rule["content_type"] = "text/html"
                rules.append(rule)
                checks[action + ".cfg"] = "[orvantis]\naction = %s\n" % action
        cls.stub = cls.enterClassContext(StubController(rules=rules))
        cls.checks = write_checks(cls.stub.dir / "checks", checks)

    def run_with_reports(self, name, password, username, options):
        """Runs tarnwick with every report file; returns its status and
        {name: text} for standard output, standard error and each file."""
        out = self.stub.dir / name
        out.mkdir()
        files = {"junit.xml": "--report-junit", "metrics.prom": "--metrics"}
        args = ["--config_dir", self.checks, "--controller_ip",
                self.stub.address, "--username", username, "--password",
                password, "--verbose", *options]
        for file, option in files.items():
            args += [option, out / file]
        status, stdout, stderr = run(args)
        texts = {"stdout": stdout, "stderr": stderr}
        for file in files:
            texts[file] = (out / file).read_text(encoding="utf-8")
        return status, texts

    def assert_no_secret(self, texts, secrets):
        for secret in secrets:
            for spelling in spellings(secret):
                for name, text in texts.items():
                    for seen in views(name, text):
                        self.assertNotIn(spelling, seen,
                                         "%s holds %r" % (name, spelling))

    def test_login_page_echoing_the_password(self):
        for i, password in enumerate(PASSWORDS):
            for echo in ECHOES + ("json",):
                with self.subTest(password=password, echo=echo):
                    status, texts = self.run_with_reports(
                        "login-%d-%s" % (i, echo), password, echo,
                        ["--nagios"])
                    self.assertEqual(status, 2, texts["stderr"])
                    self.assertIn("tarnwick: login failed:", texts["stderr"])
                    if echo != "json":
                        self.assertIn("body begins '<p>action=login&",
                                      html.unescape(texts["stderr"]))
                    self.assert_no_secret(texts, [password])

    def test_check_replies_echoing_the_session_id(self):
        for i, password in enumerate(PASSWORDS):
            for report in ("--json", "--nagios"):
                with self.subTest(password=password, report=report):
                    status, texts = self.run_with_reports(
                        "check-%d%s" % (i, report), password, "ok",
                        ["--keep-going", "--fail-http", report])
                    self.assertEqual(status, 1 if report == "--json" else 2)
                    self.assertEqual(
                        texts["stderr"].count("body begins '"),
                        2 * len(ECHOES), texts["stderr"])
                    self.assertIn("CID=***&action=", texts["stderr"])
                    self.assert_no_secret(texts,
                                          [password, session_id(password)])


if __name__ == "__main__":
    unittest.main()
