"""The man page and the bash completion that the build makes: each lists
exactly the rows of the option table (as `tarnwick_option_docs rows` prints
them), as --help does, and man reads it and the exporter's page without a
warning.

Nothing is built here: the files are those of the build directory that
holds TARNWICK_BIN.
"""

import pathlib
import re
import shutil
import subprocess
import unittest

from harness import clean_env, tarnwick_bin

RUN_TIMEOUT = 60


def build_dir():
    return pathlib.Path(tarnwick_bin()).resolve().parent


def output_of(command, env=None):
    proc = subprocess.run([str(c) for c in command], stdin=subprocess.DEVNULL,
                          capture_output=True, env=env or clean_env(),
                          timeout=RUN_TIMEOUT, check=False)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def table_rows():
    """(names, value name, summary) of every row of the option table."""
    status, out, err = output_of([build_dir() / "tarnwick_option_docs",
                                  "rows"])
    assert (status, err) == (0, ""), err
    return [tuple(line.split("\t")) for line in out.splitlines()]


def roff_text(text):
    """The text of a line of roff, its font changes and escapes undone."""
    text = re.sub(r"\\f[BIRPC]", "", text)
    for escape, char in ((r"\&", ""), (r"\-", "-"), (r"\(aq", "'"),
                         (r"\e", "\\"), (r"\\", "\\")):
        text = text.replace(escape, char)
    return text


def man_page_options(page):
    """(names, value name, summary) of each entry of the page's OPTIONS:
    a subsection heading and the paragraph after it."""
    section = page[page.index("\n.SH OPTIONS\n"):]
    section = section[:section.index("\n.SH ", 1)]
    entries = re.findall(r"^\.SS (.*)\n\.PP\n(.*)\n", section, re.M)
    rows = []
    for heading, summary in entries:
        words = roff_text(heading).split(" ")
        value = words.pop() if not words[-1].startswith("-") else ""
        rows.append((" ".join(words).replace(", ", ","), value,
                     roff_text(summary)))
    return rows


def help_options(help_text):
    """(names, value name, summary) of each entry of --help."""
    rows = []
    lines = help_text[help_text.index("\noptions:\n") + 10:].splitlines()
    for i, line in enumerate(lines):
        match = re.match(r"^  (-\S+(?:, --\S+)?)(?: ([A-Z_]+))?(?:  +(.*))?$",
                         line)
        if match:
            summary = match.group(3) or lines[i + 1].strip()
            rows.append((match.group(1).replace(", ", ","),
                         match.group(2) or "", summary))
    return rows


class OptionListsTest(unittest.TestCase):

    def test_help_man_page_and_completion_list_the_table(self):
        rows = table_rows()
        self.assertGreater(len(rows), 20)
        _, help_text, _ = output_of([tarnwick_bin(), "--help"])
        self.assertEqual(help_options(help_text), rows)
        page = (build_dir() / "doc/tarnwick.1").read_text()
        self.assertEqual(man_page_options(page), rows)
        # What bash offers after "-": every name of every row.
        script = ('source "$1"; COMP_WORDS=(tarnwick -); COMP_CWORD=1; '
                  '_tarnwick; printf "%s\\n" "${COMPREPLY[@]}"')
        status, out, err = output_of(
            ["bash", "--norc", "--noprofile", "-c", script, "bash",
             build_dir() / "completion/tarnwick"])
        self.assertEqual((status, err), (0, ""))
        names = [name for row in rows for name in row[0].split(",")]
        self.assertEqual(sorted(out.split()), sorted(names))

    def test_synopsis_names_every_option(self):
        page = (build_dir() / "doc/tarnwick.1").read_text()
        synopsis = page[page.index("\n.SH SYNOPSIS\n"):]
        synopsis = roff_text(synopsis[:synopsis.index("\n.SH ", 1)])
        for names, value, _ in table_rows():
            name = names.split(",")[0]
            self.assertIn(f"[{name} {value}]" if value else f"[{name}]",
                          synopsis)


@unittest.skipUnless(shutil.which("man") and shutil.which("groff"),
                     "needs man and groff")
class ManPageWarningsTest(unittest.TestCase):

    PAGES = (
        ("tarnwick.1", "tarnwick - run a directory of checks"),
        ("tarnwick_exporter.1",
         "tarnwick_exporter - a Prometheus exporter that runs"),
    )

    def test_man_reads_the_pages_without_a_warning(self):
        for name, title in self.PAGES:
            with self.subTest(page=name):
                page = build_dir() / "doc" / name
                status, out, err = output_of(
                    ["man", "--warnings", "-l", page],
                    env=clean_env({"MANWIDTH": "80",
                                   "MAN_KEEP_FORMATTING": ""}))
                self.assertEqual((status, err), (0, ""))
                self.assertIn(title, " ".join(out.split()))
                status, _, err = output_of(["groff", "-man", "-ww", "-z",
                                            "-K", "utf8", page])
                self.assertEqual((status, err), (0, ""))


if __name__ == "__main__":
    unittest.main()
