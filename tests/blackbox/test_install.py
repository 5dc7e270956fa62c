"""Installing: `cmake --install` into a temporary prefix, the installed layout,
the installed command against the stand-in controller, the bash completion,
and a program built against the installed library (tests/consumer).

Nothing of the project is configured or built here: the build directory is
the one that holds TARNWICK_BIN, and it is only installed from.
"""

import os
import pathlib
import re
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

from harness import SOURCE_DIR, StubController, clean_env, tarnwick_bin

INSTALL_TIMEOUT = 300  # seconds for `cmake --install`
BUILD_TIMEOUT = 300  # seconds for configuring or building the consumer
RUN_TIMEOUT = 60  # seconds for any one run of an installed program

PUBLIC_HEADERS = {"base/value.h", "base/literal.h", "base/output.h",
                  "base/clock.h", "base/error.h", "base/cancellation.h",
                  "json/json.h",
                  "filter/filter.h", "report/notation.h",
                  "wire/transport.h", "wire/transport_options.h",
                  "wire/tls_trust.h", "wire/curl_transport.h",
                  "app/config_dir.h", "app/operations.h"}

GATEWAYS = {"gateways": [{"name": "edge-1", "state": "up"},
                         {"name": "edge-2"}]}
NAMES_CHECK = """\
[default]
description = Installed check
filters = gateways, name

[orvantis]
action = list_gateways
"""


def build_dir():
    return pathlib.Path(tarnwick_bin()).resolve().parent


def cache_value(name):
    """A value of the build's CMakeCache.txt, or None."""
    cache = (build_dir() / "CMakeCache.txt").read_text(errors="replace")
    match = re.search(rf"^{re.escape(name)}:[A-Z]+=(.*)$", cache, re.M)
    return match.group(1) if match else None


def run_program(command, stdin="", cwd=None, timeout=RUN_TIMEOUT):
    """Runs command with a clean environment; returns (status, out, err)."""
    proc = subprocess.run(
        [str(c) for c in command], input=stdin.encode(), cwd=cwd,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=clean_env(),
        start_new_session=True, timeout=timeout)
    return (proc.returncode, proc.stdout.decode(errors="replace"),
            proc.stderr.decode(errors="replace"))


def run_checked(command, timeout):
    """Runs a build step; fails the test with its output when it fails."""
    proc = subprocess.run(
        [str(c) for c in command], stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        start_new_session=True, timeout=timeout)
    if proc.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} failed:\n" +
                             proc.stdout.decode(errors="replace"))


_install = {}


def setUpModule():
    """One install for the whole file, removed at the end."""
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="tarnwick-install."))
    _install["tmp"] = tmp
    try:
        run_checked(["cmake", "--install", build_dir(),
                     "--prefix", tmp / "prefix"], INSTALL_TIMEOUT)
    except BaseException:
        # tearDownModule does not run when this fails.
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def tearDownModule():
    shutil.rmtree(_install["tmp"], ignore_errors=True)


class InstalledTestCase(unittest.TestCase):

    @property
    def tmp(self):
        return _install["tmp"]

    @property
    def prefix(self):
        return _install["tmp"] / "prefix"


class InstallLayoutTest(InstalledTestCase):

    def test_command_is_a_link_to_the_real_executable(self):
        real = self.prefix / "libexec/tarnwick/tarnwick"
        link = self.prefix / "bin/tarnwick"
        self.assertFalse(real.is_symlink())
        self.assertTrue(os.access(real, os.X_OK))
        self.assertEqual(os.readlink(link), "../libexec/tarnwick/tarnwick")

    def test_default_check_directory_links_to_etc(self):
        link = self.prefix / "libexec/tarnwick/config"
        # Relative, so the installed tree can be moved.
        self.assertEqual(os.readlink(link), "../../etc/tarnwick")
        check_dir = self.prefix / "etc/tarnwick"
        self.assertEqual(link.resolve(), check_dir.resolve())
        self.assertEqual(sorted(os.listdir(check_dir)), ["README"])

    def test_readme_names_this_install(self):
        readme = (self.prefix / "etc/tarnwick/README").read_text()
        self.assertNotIn("@", readme)  # every placeholder filled
        self.assertIn(str(self.prefix / "etc/tarnwick"), readme)
        self.assertIn(str(self.prefix / "share/doc/tarnwick/examples"), readme)
        self.assertIn("man tarnwick", readme)

    def test_stub_controller_runs_by_its_installed_name(self):
        stub = self.prefix / "bin/tarnwick-stub-controller"
        self.assertTrue(stub.read_text().startswith("#!"))
        self.assertIn("python3", stub.read_text().splitlines()[0])
        status, out, _ = run_program([stub, "--help"])
        self.assertEqual(status, 0)
        self.assertIn("usage: tarnwick-stub-controller", out)

    def test_only_public_headers_are_installed(self):
        include = self.prefix / "include/tarnwick"
        installed = {str(p.relative_to(include))
                     for p in include.rglob("*") if p.is_file()}
        self.assertEqual(installed, PUBLIC_HEADERS)
        # A public header that includes an internal one cannot be used.
        for header in PUBLIC_HEADERS:
            text = (include / header).read_text()
            for name in re.findall(r'#include\s+"tarnwick/([^"]+)"', text):
                with self.subTest(header=header, includes=name):
                    self.assertIn(name, PUBLIC_HEADERS)


class InstalledCommandTest(InstalledTestCase):

    def run_installed(self, prefix, stub):
        return run_program([prefix / "bin/tarnwick", "--controller_ip",
                            stub.address, "--password", "x"])

    def test_as_installed_only_logs_in(self):
        with StubController({"list_gateways.json": GATEWAYS}) as stub:
            result = self.run_installed(self.prefix, stub)
            requests = stub.requests()
        self.assertEqual(result, (0, "", ""))
        self.assertEqual([r["fields"] for r in requests],
                         [[["action", "login"], ["username", "admin"],
                           ["password", "x"]]])

    def test_runs_the_checks_put_into_etc(self):
        check = self.prefix / "etc/tarnwick/names.cfg"
        check.write_text(NAMES_CHECK)
        try:
            with StubController({"list_gateways.json": GATEWAYS}) as stub:
                result = self.run_installed(self.prefix, stub)
                requests = stub.requests()
        finally:
            check.unlink()
        self.assertEqual(result,
                         (0, "Installed check\n['edge-1', 'edge-2']\n\n\n", ""))
        self.assertEqual([r["action"] for r in requests],
                         ["login", "login", "list_gateways"])
        self.assertEqual([name for name, _ in requests[2]["fields"]],
                         ["CID", "action"])

    def test_moved_install_uses_its_own_check_directory(self):
        moved = self.tmp / "moved"
        shutil.copytree(self.prefix, moved, symlinks=True)
        try:
            (moved / "etc/tarnwick/names.cfg").write_text(NAMES_CHECK)
            with StubController({"list_gateways.json": GATEWAYS}) as stub:
                status, out, err = self.run_installed(moved, stub)
        finally:
            shutil.rmtree(moved, ignore_errors=True)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("Installed check", out)


def unit_command(unit, instance):
    """The ExecStart= command of a unit file, as systemd would run it for
    instance: continuation lines joined, split into words, "$$" and "%i"
    replaced."""
    text = unit.read_text().replace("\\\n", " ")
    line = re.search(r"^ExecStart=(.*)$", text, re.M).group(1)
    return [word.replace("$$", "$").replace("%i", instance)
            for word in shlex.split(line)]


class ServiceUnitRunTest(InstalledTestCase):
    """The run of tarnwick@.service as systemd starts it, without systemd:
    its environment file's arguments, its credential, its state and metrics
    directories; the last complete run's report kept as the baseline."""

    def test_keeps_the_report_of_the_last_run_that_got_to_its_end(self):
        command = unit_command(
            self.prefix / "lib/systemd/system/tarnwick@.service", "site-a")
        self.assertEqual(command[:2], ["/bin/sh", "-c"])
        self.assertIn(str(self.prefix / "bin/tarnwick"), command[2])
        work = pathlib.Path(tempfile.mkdtemp(prefix="unit.", dir=self.tmp))
        dirs = {name: work / name for name in ("state", "credentials",
                                               "metrics", "checks")}
        for directory in dirs.values():
            directory.mkdir()
        (dirs["checks"] / "names.cfg").write_text(NAMES_CHECK)
        (dirs["credentials"] / "password").write_text("pw\n")
        os.chmod(dirs["credentials"] / "password", 0o400)
        last = dirs["state"] / "last.jsonl"
        rules = [{"action": "list_gateways", "nth": 2,
                  "json": {"gateways": [{"name": "edge-3"}]}},
                 {"action": "login", "nth": 5, "json": {}}]
        with StubController({"list_gateways.json": GATEWAYS}, rules,
                            ["--password", "pw"]) as stub:
            env = clean_env({
                "STATE_DIRECTORY": str(dirs["state"]),
                "CREDENTIALS_DIRECTORY": str(dirs["credentials"]),
                "RUNTIME_DIRECTORY": str(dirs["metrics"]),
                "TARNWICK_ARGS": "--controller_ip %s --config_dir %s" % (
                    stub.address, dirs["checks"])})
            statuses, reports = [], []
            for _ in range(3):
                proc = subprocess.run(command, env=env, capture_output=True,
                                      timeout=RUN_TIMEOUT)
                statuses.append(proc.returncode)
                reports.append(last.read_text())
        # The first run has nothing to compare with; the second finds a
        # change (3, no failed unit); the third fails its login (1) and
        # leaves the second's report in place.
        self.assertEqual(statuses, [0, 3, 1])
        self.assertIn('"edge-1"', reports[0])
        self.assertIn('"edge-3"', reports[1])
        self.assertEqual(reports[2], reports[1])
        self.assertIn('tarnwick_run_exit_status{controller="%s"} 1'
                      % stub.address,
                      (dirs["metrics"] / "site-a.prom").read_text())


class InstalledExporterTest(InstalledTestCase):

    def test_exporter_and_its_unit(self):
        exporter = self.prefix / "bin/tarnwick_exporter"
        status, out, _ = run_program([exporter, "--version"])
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith("tarnwick_exporter "))
        self.assertTrue((self.prefix / "share/doc/tarnwick/examples/"
                         "tarnwick.rules.yml").is_file())
        unit = self.prefix / "lib/systemd/system/tarnwick_exporter.service"
        text = unit.read_text()
        self.assertNotIn("@TARNWICK", text)  # every placeholder filled
        self.assertIn(f"ExecStart={exporter} --config.file="
                      f"{self.prefix}/etc/tarnwick_exporter/"
                      "tarnwick_exporter.yml\n", text)
        self.assertIn("LoadCredential=passwords:"
                      f"{self.prefix}/etc/tarnwick_exporter/passwords\n",
                      text)
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("systemd-analyze is not installed")
        # Documentation= is looked up with man: in this install's pages once
        # the manual is installed as one, not at all before.
        man = self.prefix / "share/man"
        command = [analyze, "verify", unit]
        if not (man / "man1/tarnwick_exporter.1.gz").exists():
            command.insert(2, "--man=no")
        proc = subprocess.run([str(c) for c in command], capture_output=True,
                              env=clean_env({"MANPATH": str(man)}),
                              timeout=RUN_TIMEOUT)
        self.assertEqual((proc.returncode, proc.stdout + proc.stderr),
                         (0, b""))

    def test_example_configuration_lacks_only_the_operators_files(self):
        example = self.prefix / "share/doc/tarnwick/examples/" \
            "tarnwick_exporter.yml"
        status, out, err = run_program([self.prefix / "bin/tarnwick_exporter",
                                        "--config.check",
                                        f"--config.file={example}"])
        problems = err.splitlines()
        self.assertEqual(status, 1)
        # The password files at least; the check directory /etc/tarnwick
        # where the package is not installed.
        self.assertGreaterEqual(len(problems), 3, err)
        for problem in problems:
            self.assertRegex(problem, r"tarnwick_exporter.yml:\d+: \S+ '\w+': "
                             r"(password_file|tls_pins_file|checks): ")


class CompletionTest(InstalledTestCase):

    def complete(self, *words):
        """The completions bash offers for the last of words."""
        script = ('source "$1"; shift; COMP_WORDS=("$@"); '
                  'COMP_CWORD=$(($# - 1)); _tarnwick; '
                  'printf "%s\\n" "${COMPREPLY[@]}"')
        status, out, err = run_program(
            ["bash", "--norc", "--noprofile", "-c", script, "bash",
             self.prefix / "share/bash-completion/completions/tarnwick",
             "tarnwick", *words], cwd=self.work)
        self.assertEqual((status, err), (0, ""))
        return sorted(line for line in out.splitlines() if line)

    def setUp(self):
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="completion.",
                                                  dir=self.tmp))
        (self.work / "checks").mkdir()
        (self.work / "cheese").mkdir()
        (self.work / "chart.txt").write_text("")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_option_names(self):
        self.assertEqual(self.complete("--c"), ["--config_dir",
                                                "--controller_ip"])
        # Every option the command's help lists, and no other.
        _, help_text, _ = run_program([tarnwick_bin(), "--help"])
        options = re.findall(r"^  (?:-h, )?(--[a-z_-]+)", help_text, re.M)
        self.assertEqual(self.complete("-"), sorted(["-h"] + options))
        self.assertEqual(self.complete("--password", "x", "--u"),
                         ["--username"])

    def test_directories_after_config_dir(self):
        for words in [("--config_dir", "ch"), ("--conf", "ch"),
                      ("--config_dir", "=", "ch")]:
            with self.subTest(words):
                self.assertEqual(self.complete(*words), ["checks", "cheese"])
        self.assertEqual(self.complete("--config_dir=ch"),
                         ["--config_dir=checks", "--config_dir=cheese"])

    def test_files_after_report_options(self):
        for words in [("--report-junit", "ch"), ("--metr", "=", "ch"),
                      ("--tls-ca", "ch"), ("--secret", "=", "ch")]:
            with self.subTest(words):
                self.assertEqual(self.complete(*words),
                                 ["chart.txt", "checks", "cheese"])

    def test_nothing_after_value_options(self):
        self.assertEqual(self.complete("--password", "ch"), [])
        self.assertEqual(self.complete("--user", "ch"), [])
        self.assertEqual(self.complete("--timeout", "ch"), [])
        self.assertEqual(self.complete("--tls-pin", "ch"), [])

    def test_check_names_after_only(self):
        (self.work / "checks" / "gw.cfg").write_text("")
        (self.work / "checks" / "gw_names").write_text("")
        # The check directory in every form the command takes; readline
        # may split "--conf=checks" at "=".
        for given in [("--config_dir", "checks"), ("--config_dir=checks",),
                      ("--config_dir", "=", "checks"), ("--conf", "checks"),
                      ("--config=checks",), ("--conf", "=", "checks"),
                      ("--config_dir", "cheese", "--conf", "checks")]:
            with self.subTest(given):
                self.assertEqual(self.complete(*given, "--only", "g"),
                                 ["gw.cfg", "gw_names"])
                self.assertEqual(self.complete(*given, "--onl", "=", "g"),
                                 ["gw.cfg", "gw_names"])
        self.assertEqual(self.complete("--only", "g"), [])
        # --con could be --controller_ip or --config_dir.
        self.assertEqual(self.complete("--con", "ch"), [])
        self.assertEqual(self.complete("--con", "checks", "--only", "g"), [])


def man_page_examples(page):
    """The shell examples of a man page's EXAMPLES section, as a shell
    would read them from the page."""
    text = page.read_text()
    section = text[text.index("\n.SH EXAMPLES\n"):]
    section = section[:section.index("\n.SH ", 1)]
    blocks = re.findall(r"^\.EX\n(.*?)^\.EE\n", section, re.M | re.S)
    roff = {r"\-": "-", r"\e": "\\", r"\(aq": "'"}
    return [re.sub(r"\\-|\\e|\\\(aq", lambda m: roff[m.group(0)], block)
            for block in blocks]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class StubManPageTest(InstalledTestCase):
    """The examples of tarnwick-stub-controller(1) run as written, with the
    installed commands, the installed examples and a free port for 8443."""

    def run_example(self, script, work):
        proc = subprocess.Popen(
            ["bash", "-c", script], cwd=work, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=clean_env({"PATH": "%s:%s" % (self.prefix / "bin",
                                             os.environ.get("PATH", ""))}),
            start_new_session=True)
        try:
            out, err = proc.communicate(timeout=RUN_TIMEOUT)
        finally:
            # The stand-in too, should the example have left it running.
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
        return proc.returncode, out.decode(), err.decode()

    def test_examples_run_as_written(self):
        port = str(free_port())
        examples = str(self.prefix / "share/doc/tarnwick/examples")
        scripts = [block.replace("8443", port).replace(
            "/usr/share/doc/tarnwick/examples", examples)
            for block in man_page_examples(
                SOURCE_DIR / "docs/tarnwick-stub-controller.1")]
        self.assertEqual(len(scripts), 2)
        work = self.tmp / "man-page-examples"
        work.mkdir()
        status, out, err = self.run_example(scripts[0], work)
        self.assertEqual((status, err), (0, ""))
        self.assertIn("Example: name and state of every gateway\n"
                      "[{'name': 'edge-1', 'state': 'up'}]\n\n\n", out)
        logged = (work / "requests.jsonl").read_text().splitlines()
        self.assertIn('"action": "login"', logged[0])
        status, out, err = self.run_example(scripts[1], work)
        self.assertRegex(err, r"^tarnwick: timeout: no reply from "
                         r"'https://127\.0\.0\.1:%s/v1/api' for 2 s "
                         r"\(in [^\n]*\)\n$" % port)


class ConsumerTest(InstalledTestCase):
    """tests/consumer, built with find_package(tarnwick) against the prefix."""

    @classmethod
    def setUpClass(cls):
        binary = _install["tmp"] / "consumer"
        configure = ["cmake", "-S", SOURCE_DIR / "tests/consumer", "-B", binary,
                     f"-DCMAKE_PREFIX_PATH={_install['tmp'] / 'prefix'}"]
        compiler = cache_value("CMAKE_CXX_COMPILER")
        if compiler:
            configure.append(f"-DCMAKE_CXX_COMPILER={compiler}")
        run_checked(configure, BUILD_TIMEOUT)
        run_checked(["cmake", "--build", binary, "-j2"], BUILD_TIMEOUT)
        cls.program = binary / "filter_reply"

    def filter_reply(self, reply, *filters):
        return run_program([self.program, *filters], stdin=reply)

    def test_decodes_filters_and_prints(self):
        reply = '{"ok": true, "gateways": [{"name": "edge-1", "state": "up"},'\
                ' {"name": "edge-2"}]}'
        self.assertEqual(self.filter_reply(reply, "gateways", "name & state"),
                         (0, "[{'name': 'edge-1', 'state': 'up'}, "
                             "{'name': 'edge-2', 'state': 'FILTER_NOT_FOUND'}]"
                             "\n", ""))
        self.assertEqual(self.filter_reply(reply, "ok & missing"),
                         (0, "{'missing': 'FILTER_NOT_FOUND', 'ok': True}\n",
                          ""))

    def test_failures_arrive_as_errors_with_kinds(self):
        status, out, err = self.filter_reply('{"a": [{"b": 1}, {}]}', "a", "b")
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.startswith("filter_reply: missing key: "), err)
        status, out, err = self.filter_reply("<html>")
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.startswith("filter_reply: invalid reply: "), err)


if __name__ == "__main__":
    unittest.main()
