#!/usr/bin/env python3
"""Writes fuzz seeds: one input per golden vector of tests/data, framed for
its target, plus hand-made inputs for corners the vectors do not reach.

    fuzz/make_seeds.py OUT_DIR

writes OUT_DIR/<target>/<sha1 of the input>. scripts/fuzz --reseed merges
these into fuzz/corpus/, keeping only the inputs that add coverage; the
framing of each target is described in fuzz/fuzz_targets.h.
"""

import hashlib
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")


def vectors(name):
    with open(os.path.join(DATA, name + ".jsonl"), encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def filter_input(filters, body):
    # No NUL means an empty filter list; an empty text before the NUL is one
    # empty expression.
    if not filters:
        return body
    return ",".join(filters).encode() + b"\0" + body


HAND_MADE = {
    "json": [
        b"[" * 10000 + b"]" * 10000,  # as deep as a reply may go
        b"[" * 10001 + b"]" * 10001,  # one level too deep
        b'"\\ud800"', b'"\\udc00\\ud800"', b'"\\ud83d\\ude00"',
        b"\xef\xbb\xbf{}", b"NaN", b"-Infinity", b"[1e400, -1e-400, -0]",
        b'{"a": 1, "a": 2, "b": [], "A": {}}',
        b'"' + b"word " * 100 + b'"',
        b'{"k": "' + b"line\\n" * 60 + b'"}',
        b'["' + b"x" * 300 + b'"]',
        b'"\\u0000\\u001f\\u007f\\u0085\\u00ad\\u2028\\ue000"',
        b"123456789012345678901234567890",
        b'"\xff"', b'"\xc0\x80"', b"\t\n",
    ],
    "check_file": [
        b"[orvantis]\na = %(b)s%(b)s\nb = %(c)s%(c)s\nc = %(d)s%(d)s\n"
        b"d = %(e)s%(e)s\ne = %(f)s%(f)s\nf = xxxxxxxxxxxxxxxx\n",
        b"[orvantis]\na = %(a)s\n",
        b"[DEFAULT]\nx = 1\n[orvantis]\nv = %(x)s%%\n[default]\nfilters = %\n",
        b"\xef\xbb\xbf[orvantis]\r\naction = x\r  more\r\n",
        b"[orvantis]\nk = \xff\n",
        b"[default]\nfilters = a ,\n  b & c,\n\n  ,\n[orvantis]\n",
        b"[orvantis]\nx = output( a.cfg )\ny = output()\nz =  output(/abs)  \n",
        b"[orvantis\n", b"[]\n", b"[orvantis]\n=\n", b"[orvantis]\n  : x\n",
    ],
    "command_line": [
        b"--pass\0-secret", b"--password=-secret", b"--c\0x", b"--\0x",
        b"-h\0--bogus", b"--controller_ip\0-5", b"--username\0a b",
        b"--config_dir=\0--config_dir", b"-\0-", b"\0",
    ],
    "filter": [
        b"&\0{\"\": 1}", b"a&a\0[{\"a\": 1}]", b"\0{\"\": []}",
        b"a, b\0{\"a\": {\"b\": 1}}", b" a \0{\" a \": 1, \"a\": 2}",
        b" a \0[{\"a\": 1}]", b"a\0[[{\"a\": 1}]]", b"a,b\0\"text\"",
        b"a\xe3\x80\x80&b\0[{\"a\": 1}, 2]",
    ],
    "filtered_decode": [
        b"a\0{\"a\": 1, \"a\": [2], \"b\": {\"a\": 3}}",
        b"a&b\0[{\"b\": 1, \"a\": 2, \"b\": 3}, {\"c\": [1]}]",
        b"a\0{\"b\": [1, 2, ", b"a\0{\"b\": [1, 2]} x", b"a\0\"\xff\"",
        b"a,b\0[{\"a\": {\"b\": 1}}, {\"a\": []}]",
        b"a\0{\"a\": " + b"[" * 10001 + b"]" * 10001 + b"}",
        b"b\0{\"a\": " + b"[" * 10001 + b"]" * 10001 + b"}",
        b" a \0{\"a\": 1, \" a \": {\"a\": 2}}",
        b"a & a,a\0{\"a\": {\"a\": 1}, \"b\": 2}",
        b"a\0{\"\\u0061\": 1, \"a\": 2}",
    ],
    "form": [
        b"item\0[1, [2, [null, true]], {\"k\": 1}, -0, 2.50, 1e400]",
        b"item\0{\"\\ud800\": 1}", b"a b&c=d\0\"x y&z=%+\"",
        b"\0[[[[[]]]]]", b"item\0\"\\u00e9\\ud83d\\ude00\"",
    ],
    "expect": [
        b"a" + b"[0]" * 999 + b" exists\0" + b"[" * 999 + b"1" + b"]" * 999,
        b"[*][*][*] == 1\0[[[1, 2], [3]], [], [[\"FILTER_NOT_FOUND\"]]]",
        b"count [k=\"\\u00e9\"] >= 1\0[{\"k\": \"\\u00e9\"}, {\"k\": 1}]",
        b"n == 123456789012345678901234567890\0{\"n\": 123456789012345678901234567890}",
        b"n < 1e99999999999999999999\0{\"n\": \"1e400\"}",
        b".\"\\ud800\" exists\0{\"\\ud800\": [NaN, Infinity, -0.0]}",
        b"x ~ (a+)+$\0{\"x\": \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa!\"}",
        b"x !~ \"\\\\p{L}+\"\0{\"x\": \"\xc3\xa9t\xc3\xa9\"}",
        b"every x[-1] not in \"a,b\", 1e2, null\0{\"x\": [100, 1e2, \"1e2\"]}",
        b"every . in a\0", b"count\0", b"x \xff== 1\0{}", b"\"x\" == \"\0[]",
    ],
}


def exporter_inputs():
    """The configuration files of tests/data/exporter, each with queries."""
    directory = os.path.join(DATA, "exporter")
    queries = [b"target=10.0.0.1&module=m&auth=a", b"target=[fd00::1]:8443",
               b"target=10.1&debug=true", b"target=CTRL.example.net.:8443",
               b"module=m&module=n", b"target=0x0a000001&auth=b",
               b"target=10.0.0.1&auth=b&module=n&debug=false", b"&=&"]
    inputs = []
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".yml"):
            continue
        with open(os.path.join(directory, name), "rb") as f:
            text = f.read()
        inputs.append(text)
        inputs += [b"\0" + q for q in queries]
        inputs.append(text + b"\0target=ctrl-a.example.net&module=gateways")
    inputs += [b"a: " + b"[" * 5000 + b"]" * 5000,
               b"modules: &x {m: {checks: c}}\nauths: *x\n",
               b"modules:\n  m: {checks: c, timeout: 99999999999999999999y}\n"]
    return inputs


def compare_input(row):
    rules = ""
    if "key" in row:
        rules += "key = " + row["key"] + "\n"
    if "ignore" in row:
        rules += "ignore = " + row["ignore"] + "\n"
    text = "\0".join([rules, json.dumps(row["before"]), json.dumps(row["after"])])
    return (b"*" if row.get("records") else b"") + text.encode()


def seeds():
    out = {target: list(inputs) for target, inputs in HAND_MADE.items()}
    replies = [v["reply"].encode() for v in vectors("filter")]
    bodies = [v["json"].encode() for v in vectors("notation")]
    out["json"] += bodies + replies
    out["check_file"] += [v["text"].encode() for v in vectors("checkfile")]
    out["command_line"] += [
        b"\0".join(a.encode() for a in v["argv"]) for v in vectors("cli")]
    out["filter"] += [filter_input(v["filters"], v["reply"].encode())
                      for v in vectors("filter")]
    out["filtered_decode"] += out["filter"]
    out["form"] += [b"item_name\0" + body for body in replies + bodies]
    out["expect"] += [v["text"].encode() for v in vectors("expect_parse")]
    out["expect"] += [v["expect"].encode() + b"\0" + v["result"].encode()
                      for v in vectors("expect_judge")]
    out["compare"] = [compare_input(v) for v in vectors("compare_diff")] + [
        b"key = a\0" + b"[" * 9999 + b"]" * 9999 + b"\0" + b"[" * 9999 + b"]" * 9999,
        b"key = a, b\nignore = [*].a, b, .c, [-1]\0"
        b'[{"a": 1}, {"a": 1}, {"b": 2}, 3]\0[{"b": 2}, {"a": 1.0}, 3, {"a": 1}]',
        b'*\0[{"object": 1, "error": {}}]\0[{"object": 1, "results": 2}]',
    ]
    out["exporter"] = exporter_inputs()
    return out


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUT_DIR")
    for target, inputs in seeds().items():
        directory = os.path.join(sys.argv[1], target)
        os.makedirs(directory, exist_ok=True)
        for data in inputs:
            name = hashlib.sha1(data).hexdigest()
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
