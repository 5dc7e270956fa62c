"""Check execution end to end: the requests a check sends to the stand-in
controller, in order, and how failures end the run.

Every check directory holds exactly one ".cfg" file; the checks it refers to
are named without the suffix, so they run only through the reference.
"""

import json
import unittest

from harness import StubController, run, write_checks

# Requests of the opening login, which comes before every check.
OPENING = 1


def run_checks(checks, replies=None, rules=None, options=()):
    """Runs tarnwick over a check directory written from {name: text};
    returns ((status, stdout, stderr), requests, check directory path)."""
    with StubController(replies, rules) as stub:
        directory = write_checks(stub.dir / "checks", checks)
        result = run(["--config_dir", directory, "--controller_ip",
                      stub.address, "--password", "pw", *options])
        return result, stub.requests(), str(directory)


def actions(requests):
    return [r["action"] for r in requests]


def cids(request):
    return [v for n, v in request["fields"] if n == "CID"]


def without_cid(request):
    return [[n, v] for n, v in request["fields"] if n != "CID"]


class CompoundTrafficTest(unittest.TestCase):

    def test_order_cids_and_field_positions(self):
        checks = {
            "main.cfg": "[DEFAULT]\nsite = s1\n"
                        "[orvantis]\ncid = mine\naction = show\n"
                        "item = output(items)\nlast = two words\n",
            "items": "[default]\nfilters = names\n[orvantis]\naction = list\n",
        }
        replies = {"list.json": {"names": ["a", "b c"]},
                   "show@item=a.json": {"state": "up"},
                   "show.json": {"state": "down"}}
        (status, out, err), requests, _ = run_checks(checks, replies)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(actions(requests), ["login", "login", "login",
                                             "list", "show", "show"])
        own_login, referenced_login = requests[1], requests[2]
        self.assertEqual(own_login["fields"][0], ["action", "login"])
        self.assertEqual(referenced_login["fields"][0], ["action", "login"])

        listing, first, second = requests[3:]
        self.assertEqual(listing["fields"][0][0], "CID")
        self.assertEqual(without_cid(listing), [["action", "list"]])
        for request, item in ((first, "a"), (second, "b c")):
            self.assertEqual(request["fields"][0][0], "CID")
            self.assertEqual(request["fields"][1:], [
                ["cid", "mine"], ["action", "show"], ["item", item],
                ["last", "two words"], ["site", "s1"]])
        # One session per check: the compound check's requests share one CID,
        # the referenced check has its own.
        self.assertEqual(cids(first), cids(second))
        self.assertEqual(len(cids(first)), 1)
        self.assertEqual(len(cids(listing)), 1)
        self.assertNotEqual(cids(first), cids(listing))
        self.assertIn("'up'", out)
        self.assertIn("'down'", out)

    def test_empty_referenced_result_sends_nothing_of_its_own(self):
        checks = {"main.cfg": "[orvantis]\naction = show\nitem = output(items)\n",
                  "items": "[orvantis]\naction = list\n"}
        (status, _, err), requests, _ = run_checks(checks, {"list.json": []})
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(actions(requests), ["login", "login", "login", "list"])

    def test_map_keys_and_text_characters_are_elements(self):
        cases = {
            "map keys in order": ({"z": 1, "a": {"b": 2}}, ["z", "a"]),
            "text by code point": ("h\u00e9\u20ac\U0001f600",
                                   ["h", "\u00e9", "\u20ac", "\U0001f600"]),
            "a text like the not-found marker": ("FILTER_NOT_FOUNd",
                                                 list("FILTER_NOT_FOUNd")),
        }
        checks = {"main.cfg": "[orvantis]\naction = show\nitem = output(items)\n",
                  "items": "[orvantis]\naction = list\n"}
        for name, (listing, elements) in cases.items():
            with self.subTest(name):
                # A str would be written as it is, not as a JSON text.
                (status, _, err), requests, _ = run_checks(
                    checks, {"list.json": json.dumps(listing),
                             "show.json": {}})
                self.assertEqual((status, err), (0, ""))
                own = requests[OPENING + 3:]
                self.assertEqual(actions(own), ["show"] * len(elements))
                self.assertEqual([without_cid(r) for r in own],
                                 [[["action", "show"], ["item", e]]
                                  for e in elements])

    def test_a_referenced_check_that_found_nothing_fails_the_compound(self):
        # Its result is the not-found marker, whether its filter or the
        # controller put it there: no data, not sixteen letters to send.
        checks = {"main.cfg": "[orvantis]\naction = show\n"
                              "item = output(names)\n",
                  "names": "[default]\nfilters = names\n"
                           "[orvantis]\naction = list\n"}
        for listing in ({"other": 1}, {"names": "FILTER_NOT_FOUND"}):
            for options in ((), ("--keep-going",)):
                with self.subTest(listing=listing, options=options):
                    (status, out, err), requests, directory = run_checks(
                        checks, {"list.json": listing, "show.json": {}},
                        options=options)
                    message = (
                        "missing key: the referenced check 'names' found "
                        "nothing (its result is FILTER_NOT_FOUND) (in "
                        f"{directory}/main.cfg)")
                    self.assertEqual(status, 1)
                    if options:
                        self.assertEqual(out, f"ERROR: {message}\n\n\n")
                        self.assertEqual(err, f"tarnwick: {message}\n"
                                              "tarnwick: checks failed: 1 of "
                                              "1: main.cfg\n")
                    else:
                        self.assertEqual((out, err),
                                         ("", f"tarnwick: {message}\n"))
                    self.assertEqual(actions(requests),
                                     ["login", "login", "login", "list"])

    def test_nested_compound_sends_records_as_maps(self):
        checks = {
            "outer.cfg": "[orvantis]\naction = outer\nrow = output(middle)\n",
            "middle": "[default]\nfilters = state\n"
                      "[orvantis]\naction = middle\nname = output(inner)\n",
            "inner": "[orvantis]\naction = inner\n",
        }
        replies = {"inner.json": ["x"], "middle.json": {"state": "up"},
                   "outer.json": {"ok": True}}
        (status, _, err), requests, _ = run_checks(checks, replies)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(actions(requests), ["login"] * 4 + [
            "inner", "middle", "outer"])
        self.assertEqual(without_cid(requests[5]),
                         [["action", "middle"], ["name", "x"]])
        self.assertEqual(without_cid(requests[6]),
                         [["action", "outer"], ["row", "object"],
                          ["row", "results"]])
        # Three checks, three sessions.
        self.assertEqual(len({tuple(cids(r)) for r in requests[4:]}), 3)

    def test_only_the_last_reference_is_resolved(self):
        checks = {"main.cfg": "[orvantis]\nfirst = output(one)\n"
                              "action = show\nsecond = output(two)\n",
                  "two": "[orvantis]\naction = list\n"}  # no file "one"
        (status, _, err), requests, _ = run_checks(
            checks, {"list.json": ["z"], "show.json": {}})
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(actions(requests), ["login"] * 3 + ["list", "show"])
        self.assertEqual(without_cid(requests[4]), [
            ["first", "output(one)"], ["action", "show"], ["second", "z"]])


class ReplyTest(unittest.TestCase):

    def test_error_status_with_json_body_is_a_result(self):
        checks = {"main.cfg": "[orvantis]\naction = show\n"}
        for status_code in (401, 500):
            with self.subTest(status_code):
                rules = [{"action": "show", "status": status_code,
                          "json": {"error": "no such gateway"}}]
                (status, out, err), requests, _ = run_checks(checks,
                                                             rules=rules)
                self.assertEqual((status, err), (0, ""))
                self.assertIn("'no such gateway'", out)
                self.assertEqual(actions(requests), ["login", "login", "show"])

    def test_reply_that_is_not_json_ends_the_run(self):
        compound = {"main.cfg": "[orvantis]\naction = show\n"
                                "item = output(items)\n",
                    "items": "[orvantis]\naction = list\n"}
        cases = {
            "simple check": ({"main.cfg": "[orvantis]\naction = show\n"},
                             "show", ["login", "login", "show"]),
            "referenced check": (compound, "list",
                                 ["login"] * 3 + ["list"]),
            "compound element": (compound, "show",
                                 ["login"] * 3 + ["list", "show"]),
        }
        for name, (checks, action, expected) in cases.items():
            with self.subTest(name):
                rules = [{"action": action, "body": "<html>busy</html>",
                          "content_type": "text/html"}]
                (status, out, err), requests, _ = run_checks(
                    checks, {"list.json": ["a", "b"]}, rules)
                self.assertEqual(status, 1)
                self.assertTrue(err.startswith("tarnwick: invalid reply: "),
                                err)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertNotIn("Login failed", out)
                self.assertEqual(actions(requests), expected)


class ReferenceFailureTest(unittest.TestCase):

    def test_missing_referenced_file(self):
        checks = {"main.cfg": "[orvantis]\naction = show\n"
                              "item = output(nowhere)\n"}
        (status, out, err), requests, _ = run_checks(checks)
        self.assertEqual((status, out), (1, ""))
        self.assertTrue(err.startswith("tarnwick: file not found: "), err)
        self.assertIn("nowhere", err)
        # The opening login and the check's own; none for the missing file.
        self.assertEqual(actions(requests), ["login", "login"])

    def test_cycle_ends_before_the_next_login(self):
        checks = {"a.cfg": "[orvantis]\naction = a\nx = output(b)\n",
                  "b": "[orvantis]\naction = b\nx = output(a.cfg)\n"}
        (status, out, err), requests, directory = run_checks(checks)
        self.assertEqual((status, out), (1, ""))
        self.assertEqual(err, "tarnwick: reference cycle: checks refer to "
                         f"each other: {directory}/a.cfg -> b -> a.cfg\n")
        self.assertEqual(actions(requests), ["login"] * 3)


if __name__ == "__main__":
    unittest.main()
