"""The "judge" section of run_bench.py: what `--expect` and `--baseline FILE`
add to the whole command, on the largest reply of --sizes (the 100 MB one by
default), the full report of one check (no filters) through the stand-in
controller, as the "command" section runs it. For this build and for the
build of --baseline DIR (when there is one):

  plain       the check
  --expect    five [*] expectations over the reply's largest list, all
              holding (exit status 0)
  --baseline  compared with an earlier --json run of the same check whose
              file has one value changed: a "state" halfway through the
              list (exit status 3, one change)

A build runs the rows whose option its --help names: a build from before
the options runs the plain row only.

All rows run the same check file, which has the [expect] section and a
[compare] section (key = name): without the option that reads it, a section
is not read, so the plain rows are the same run without the option. Before
the rounds each row's output is checked once against this build's plain
report: --expect adds one holding line per expectation, and --baseline one
"changed" line, before the two empty lines that end a check.

Each round runs every row once, the order rotated. Per row, medians of the
rounds: the wall time, the CPU time (user and system) and the peak resident
set (GNU time). The CPU time tells less of the other work on a busy machine
than the wall time does, but leaves out the stand-in's. The load average is
sampled before the first round and after each. Then, in process,
compare_peak --reply on the same reply (for each build that has it): the
two passes over the earlier run's file, the decode of this run's result
and the comparison, timed apart, medians of as many runs. Last, where
valgrind is installed, each row once under callgrind: the instructions the
tarnwick process executes do not depend on the load of the machine, so they
tell a change of a few percent between the builds that the times on a busy
machine cannot.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import time

TIME = "/usr/bin/time"  # GNU time, for peak memory
RUN_TIMEOUT = 600  # seconds for one run
MB = 1000 * 1000
# The expectations: every one walks the whole list "results" and holds on a
# reply of generate_reply.py.
EXPECTATIONS = (
    ("names", r"results[*].name ~ gw-[0-9]{7}-.+"),
    ("states",
     "results[*].state in up, down, degraded, provisioning, standby"),
    ("ids", "results[*].gw_id >= 0"),
    ("loads", "results[*].cpu_load <= 1"),
    ("regions", 'results[*].location.region != ""'),
)
# (row, options, exit status); {earlier} is the earlier run's file.
ROWS = (
    ("plain", [], 0),
    ("--expect", ["--expect"], 0),
    ("--baseline", ["--baseline", "{earlier}"], 3),
)
STAGES = ("first_pass_seconds", "second_pass_seconds", "decode_seconds",
          "compare_seconds")


def log(message):
    print(message, file=sys.stderr, flush=True)


def set_up(work, tag):
    """The check directory: one check of the reply `tag`."""
    checks = os.path.join(work, "checks")
    os.makedirs(checks, exist_ok=True)
    lines = ["[default]", "description = gateways (judged)", "",
             "[orvantis]", f"action = bench_{tag}", "", "[expect]"]
    lines += [f"{name} = {text}" for name, text in EXPECTATIONS]
    lines += ["", "[compare]", "key = name", ""]
    with open(os.path.join(checks, "gateways.cfg"), "w") as f:
        f.write("\n".join(lines))
    return checks


def argv_of(tarnwick, address, checks, options):
    return [tarnwick, "--controller_ip", address, "--password", "bench",
            "--config_dir", checks, *options]


def has_option(tarnwick, option):
    usage = subprocess.run([tarnwick, "--help"], check=True,
                           stdout=subprocess.PIPE, text=True).stdout
    return option in usage


def write_earlier_run(argv, path):
    """Writes the --json output of argv to path with one value changed: the
    first "state" past the middle of the file gets another first letter.
    Returns that value as the file has it and as the run printed it."""
    out = subprocess.run([*argv, "--json"], check=True, stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT).stdout
    data = bytearray(out)
    at = data.find(b'"state": "', len(data) // 2)
    if at < 0:
        raise RuntimeError("no \"state\" in the second half of the --json run")
    at += len(b'"state": "')
    end = data.index(b'"', at)
    printed = data[at:end].decode()
    data[at] = ord("X") if data[at] != ord("X") else ord("Y")
    with open(path, "wb") as f:
        f.write(data)
    return data[at:end].decode(), printed


def run_once(argv, status, rss_file, stdout=subprocess.DEVNULL):
    """Wall seconds, CPU seconds and peak resident set (KB) of argv, which
    must end with `status`."""
    start = time.monotonic()
    try:
        proc = subprocess.run([TIME, "-f", "%M %U %S", "-o", rss_file, *argv],
                              stdin=subprocess.DEVNULL, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"timed out: {' '.join(argv)}") from None
    seconds = time.monotonic() - start
    if proc.returncode != status:
        raise RuntimeError(f"exit {proc.returncode}, not {status}: "
                           f"{' '.join(argv)}\n"
                           + proc.stderr.decode("utf-8", "replace"))
    with open(rss_file) as f:
        rss, user, system = f.read().split()[-3:]
    return seconds, float(user) + float(system), int(rss)


def check_outputs(rows, work, earlier_value, value):
    """Runs each row once into a file: each must print this build's plain
    report, with what its option adds before the two empty lines that end
    the check. The one change is the "state" of an element halfway, named by
    its key, from earlier_value to value."""
    rss_file = os.path.join(work, "rss.txt")
    texts = {}
    for key, argv, status in rows:
        path = os.path.join(work, "output.txt")
        with open(path, "wb") as out:
            run_once(argv, status, rss_file, stdout=out)
        with open(path, "rb") as f:
            texts[key] = f.read()
        os.remove(path)
    plain = texts[("new", "plain")]
    if not plain.endswith(b"\n\n\n"):
        raise RuntimeError("judge: the plain report does not end a check")
    head = plain[:-2]
    for (build, row), text in texts.items():
        if not text.startswith(head) or not text.endswith(b"\n\n"):
            raise RuntimeError(f"judge: {build} {row}: not the plain report")
        added = text[len(head):-2].decode()
        if row == "--expect":
            ok = added == "".join(f"expect {name}: holds\n"
                                  for name, _ in EXPECTATIONS)
        elif row == "--baseline":
            ok = (added.startswith("changed results[name=")
                  and added.endswith(
                      f"].state: '{earlier_value}' -> '{value}'\n")
                  and added.count("\n") == 1)
        else:
            ok = added == ""
        if not ok:
            raise RuntimeError(f"judge: {build} {row} adds {added[:500]!r}")


def in_process(build, reply, runs):
    """Medians of compare_peak --reply over `runs` runs, or None without
    compare_peak."""
    program = os.path.join(os.path.dirname(build.tarnwick), "bench",
                           "compare_peak")
    if not os.access(program, os.X_OK):
        return None
    log(f"judge: compare_peak of {build.label}, {runs} runs")
    figures = []
    for _ in range(runs):
        out = subprocess.run([program, "--reply", reply], check=True,
                             stdout=subprocess.PIPE,
                             timeout=RUN_TIMEOUT).stdout
        figures.append(json.loads(out))
    return {key: statistics.median(f[key] for f in figures)
            for key in (*STAGES, "max_rss_kb", "rss_before_compare_kb")}


def instructions(argv, status, out):
    """Instructions the process of argv executes, under callgrind; argv must
    end with `status`."""
    proc = subprocess.run(["valgrind", "--tool=callgrind",
                           f"--callgrind-out-file={out}", *argv],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=RUN_TIMEOUT * 20)
    if proc.returncode != status:
        raise RuntimeError(f"exit {proc.returncode} under callgrind, not "
                           f"{status}: {' '.join(argv)}")
    with open(out) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no summary line in {out}")


def measure(builds, address, replies, rounds, work):
    """{"rows": {(build label, row): {"seconds", "cpu", "peak_mb"}},
    "stages": {build label: {stage: median}}, ...}."""
    work = os.path.join(work, "judge")
    os.makedirs(work, exist_ok=True)
    size = max(replies)
    tag = f"{size}MB" if size < 1000 else f"{size // 1000}GB"
    checks = set_up(work, tag)
    new = builds[-1]
    earlier = os.path.join(work, "earlier.jsonl")
    log(f"judge, {tag}: the earlier run's file")
    earlier_value, value = write_earlier_run(
        argv_of(new.tarnwick, address, checks, []), earlier)
    rows = []  # ((build label, row), argv, status)
    for b in builds:
        for row, options, status in ROWS:
            if options and not has_option(b.tarnwick, options[0]):
                continue
            opts = [o.format(earlier=earlier) for o in options]
            rows.append(((b.label, row),
                         argv_of(b.tarnwick, address, checks, opts), status))
    log(f"judge, {tag}: checking each row's output")
    check_outputs(rows, work, earlier_value, value)

    rss_file = os.path.join(work, "rss.txt")
    samples = {key: [] for key, _, _ in rows}
    loads = [os.getloadavg()]
    for r in range(rounds):
        log(f"judge, {tag}: round {r + 1} of {rounds}")
        order = rows[r % len(rows):] + rows[:r % len(rows)]
        for key, argv, status in order:
            samples[key].append(run_once(argv, status, rss_file))
        loads.append(os.getloadavg())
    medians = {}
    for key, s in samples.items():
        medians[key] = {
            "seconds": statistics.median(x[0] for x in s),
            "cpu": statistics.median(x[1] for x in s),
            "peak_mb": statistics.median(x[2] for x in s) * 1024 / MB}
    stages = {}
    for b in builds:
        found = in_process(b, replies[size], rounds)
        if found:
            stages[b.label] = found
    counted = {}
    if shutil.which("valgrind"):
        for key, argv, status in rows:
            log(f"judge, {tag}: {key[0]} {key[1]} under callgrind")
            counted[key] = instructions(
                argv, status,
                os.path.join(work, f"callgrind.{key[0]}.{key[1][2:] or key[1]}"
                             ".out"))
    return {"size": tag, "earlier_mb": os.path.getsize(earlier) / MB,
            "rounds": rounds, "builds": [b.label for b in builds],
            "rows": medians, "stages": stages, "loads": loads,
            "instructions": counted}


def report(results, targets):
    """Markdown lines; appends (target, measured, met) to targets."""
    size = results["size"]
    rows = results["rows"]
    builds = results["builds"]
    new, old = builds[-1], (builds[0] if len(builds) == 2 else None)
    lines = [f"## Verdicts and comparison ({size} reply)", "",
             f"One check, the full report of the {size} reply through the "
             "stand-in, medians of "
             f"{results['rounds']} interleaved rounds; peak is the resident "
             "set (GNU time), median. `--expect`: five `[*]` expectations "
             "over `results`, all holding. `--baseline`: an earlier `--json` "
             f"run of the same check ({results['earlier_mb']:.0f} MB) with "
             "one `state` changed, `[compare] key = name`. CPU: user and "
             "system time of the command. / plain: against the same build's "
             "plain row. Load average (1 min) before the first round and "
             "after each: "
             + ", ".join(f"{load[0]:.2f}" for load in results["loads"]) + ".",
             ""]
    cells = ["build", "row", "wall", "CPU", "peak", "wall / plain",
             "CPU / plain", "peak / plain"]
    if old:
        cells += ["wall / old plain", "new / old"]
    lines += ["| " + " | ".join(cells) + " |",
              "|" + "---|" * len(cells)]
    for (build, row), m in rows.items():
        plain = rows[(build, "plain")]
        line = [build, row, f"{m['seconds']:.3f} s", f"{m['cpu']:.2f} s",
                f"{m['peak_mb']:.0f} MB",
                f"{m['seconds'] / plain['seconds']:.2f}",
                f"{m['cpu'] / plain['cpu']:.2f}",
                f"{m['peak_mb'] / plain['peak_mb']:.2f}"]
        if old:
            old_plain = rows[(old, "plain")]
            line.append(f"{m['seconds'] / old_plain['seconds']:.2f}")
            same = rows.get((old, row))
            line.append(f"{m['seconds'] / same['seconds']:.2f}"
                        if build == new and same else "-")
        lines.append("| " + " | ".join(line) + " |")
    plain = rows[(new, "plain")]
    expect = rows[(new, "--expect")]
    ratio = expect["seconds"] / plain["seconds"]
    targets.append((f"`--expect`, five `[*]` expectations: at most 1.2x the "
                    f"same run without ({size})", f"{ratio:.2f}x",
                    ratio <= 1.2))
    if old:
        ratio = expect["seconds"] / rows[(old, "plain")]["seconds"]
        targets.append((f"`--expect`, five `[*]` expectations: at most 1.2x "
                        f"the old build's plain run ({size})", f"{ratio:.2f}x",
                        ratio <= 1.2))
    baseline = rows[(new, "--baseline")]
    ratio = baseline["seconds"] / plain["seconds"]
    targets.append((f"`--baseline`, one value changed: at most 1.5x the "
                    f"plain run's time ({size})", f"{ratio:.2f}x",
                    ratio <= 1.5))
    ratio = baseline["peak_mb"] / plain["peak_mb"]
    targets.append((f"`--baseline`, one value changed: at most 2x the plain "
                    f"run's peak memory ({size})", f"{ratio:.2f}x",
                    ratio <= 2.0))
    if results["stages"]:
        lines += ["", "In process (`compare_peak --reply`: the same reply as "
                  "both runs' result, one value changed, key = name; "
                  "medians):", "",
                  "| build | first pass | second pass | decode | compare | "
                  "peak before the comparison | peak |",
                  "|---|---|---|---|---|---|---|"]
        for build, stages in results["stages"].items():
            lines.append(
                f"| {build} | "
                + " | ".join(f"{stages[s]:.3f} s" for s in STAGES)
                + f" | {stages['rss_before_compare_kb'] * 1024 / MB:.0f} MB"
                f" | {stages['max_rss_kb'] * 1024 / MB:.0f} MB |")
    counted = results.get("instructions")
    if counted:
        lines += ["", "Instructions of the tarnwick process, each row once "
                  "under callgrind (they do not depend on the load):", "",
                  "| build | row | instructions | / plain | new / old |",
                  "|---|---|---|---|---|"]
        for (build, row), n in counted.items():
            same = counted.get((old, row)) if old and build == new else None
            lines.append(
                f"| {build} | {row} | {n:,} | "
                f"{n / counted[(build, 'plain')]:.3f} | "
                + (f"{n / same:.3f}" if same else "-") + " |")
    lines.append("")
    return lines
