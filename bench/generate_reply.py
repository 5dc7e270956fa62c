#!/usr/bin/env python3
"""Writes a controller-like reply of a given size, the same bytes every time.

    generate_reply.py --bytes N [--seed S] OUTPUT

The reply is a map whose list "results" holds gateway-like maps of about 20
keys: texts with non-ASCII letters, line breaks, quotes and \\u escapes,
whole and fractional numbers, booleans, nulls, nested maps and lists. Every
element has "name" and "state"; about one in a hundred lacks "ha_peer".
Elements are added until the reply reaches N bytes (it ends a little past
N). Written in pieces, so memory stays small whatever N is.
"""

import argparse
import json
import random
import sys

STATES = ["up", "down", "degraded", "provisioning", "standby"]
SIZES = ["t3.small", "t3.medium", "c5.xlarge", "Standard_B2ms", "n1-standard-2"]
REGIONS = ["us-east-1", "eu-west-2", "ap-south-1", "westeurope", "asia-east1"]
WORDS = ["edge", "core", "transit", "spoke", "hub", "branch", "Zürich",
         "Köln", "Łódź", "São Paulo", "東京", "Москва", "İzmir", "Ærø",
         "naïve", "café", "straße", "🚀", "ελληνικά", "עברית"]
NOTES = ["restarted at boot", "tunnel \"primary\" flapped",
         "operator's note: keep", "line one\nline two",
         "path C:\\gw\\logs", "tab\there", "ok"]


def text(rng, words):
    return " ".join(rng.choice(WORDS) for _ in range(words))


def gateway(rng, i):
    """One element of "results"; key order fixed, values from rng."""
    name = f"gw-{i:07d}-{rng.choice(WORDS)}"
    g = {
        "name": name,
        "state": rng.choice(STATES),
        "gw_id": i,
        "account_name": f"acct-{rng.randrange(1000):03d}",
        "cloud_type": rng.choice([1, 4, 8, 16, 256]),
        "vpc_id": f"vpc-{rng.getrandbits(48):012x}",
        "gw_size": rng.choice(SIZES),
        "public_ip": "%d.%d.%d.%d" % tuple(rng.randrange(1, 255)
                                         for _ in range(4)),
        "private_ip": f"10.{rng.randrange(256)}.{rng.randrange(256)}.{i % 250 + 2}",
        "ha_enabled": rng.random() < 0.5,
        "ha_peer": None if rng.random() < 0.7 else name + "-hagw",
        "latency_ms": round(rng.uniform(0.1, 250.0), 3),
        "cpu_load": rng.choice([0.0, 1.0, 0.25, round(rng.random(), 4)]),
        "uptime_s": rng.randrange(10 ** 9),
        "bytes_rx": rng.randrange(10 ** 15),
        "description": text(rng, rng.randrange(3, 12)),
        "note": rng.choice(NOTES),
        "location": {"region": rng.choice(REGIONS),
                     "lat": round(rng.uniform(-90, 90), 6),
                     "lon": round(rng.uniform(-180, 180), 6),
                     "zone": None},
        "tags": [text(rng, 1) for _ in range(rng.randrange(0, 4))],
        "interfaces": [{"if": f"eth{k}", "mtu": rng.choice([1500, 9001]),
                        "up": rng.random() < 0.9}
                       for k in range(rng.randrange(1, 3))],
    }
    if rng.random() < 0.01:
        del g["ha_peer"]
    return g


def element_json(rng, i):
    g = gateway(rng, i)
    # One element in eight spells its non-ASCII letters as \u escapes, as
    # some controllers do.
    return json.dumps(g, ensure_ascii=rng.random() < 0.125)


def write_reply(out, target, seed):
    rng = random.Random(seed)
    head = '{"return": true, "count_hint": null, "results": ['
    tail = '], "reason": "", "took_ms": 12.5}\n'
    out.write(head.encode())
    written = len(head) + len(tail)
    pieces = []
    i = 0
    while written < target or i == 0:
        piece = (", " if i else "") + element_json(rng, i)
        data = piece.encode()
        pieces.append(data)
        written += len(data)
        i += 1
        if len(pieces) == 4096:
            out.write(b"".join(pieces))
            pieces.clear()
    out.write(b"".join(pieces))
    out.write(tail.encode())
    return written, i


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bytes", type=int, required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("output")
    args = parser.parse_args(argv)
    if args.bytes < 1:
        parser.error("--bytes must be positive")
    with open(args.output, "wb") as out:
        size, count = write_reply(out, args.bytes, args.seed)
    print(f"{args.output}: {size} bytes, {count} gateways")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
