"""The "exporter" section of run_bench.py: tarnwick_exporter probed as
Prometheus probes a fleet, with and without sessions and connections kept
across probes, against the same checks run as tarnwick processes.

--exporter-targets controllers (default 1,000) are nginx on as many
loopback ports, each answering every request with one canned reply (a body
with a "CID" and what the checks filter out of it) over TLS with an ECDSA
certificate, session resumption on. The module has 5 checks, one a compound
check over 20 elements (26 requests a probe), one request after another
(--exporter-in-flight N sets the module's in_flight). nginx and
the exporter get RLIMIT_NOFILE for every target's kept connections (this
process raises its own, which both inherit; worker_rlimit_nofile too).

A scheduler scrapes /probe for every target once every --exporter-interval
(default 60 s), the targets' scrapes spread evenly over the interval as
Prometheus spreads them, with X-Prometheus-Scrape-Timeout-Seconds of 10 (or
the interval, if shorter), for --exporter-seconds (default 300). Two
variants run one after the other, each against a fresh nginx: "without"
(the auth as it is today) and "with" (the auth keys session_max_age and
keep_connections: true). An exporter that refuses those keys as unknown
lacks them: the "with" variant is then skipped, and says so.

Measured per variant: every answer's status, probe_success and
probe_duration_seconds; the exporter's CPU (user and system, /proc) and
nginx's apart; the exporter's resident set each minute and its peak
(VmHWM); logins (the exporter's tarnwick_exporter_logins_total when it has
it, else one a probe without kept sessions and nginx's count with them),
and nginx's count beside it (the access log's requests whose
Content-Length is a login's: a probe to a port of its own, first of all,
shows that length with its login); connections opened
and TLS sessions resumed (nginx's $connection_requests and
$ssl_session_reused). Figures "after the first round" leave out each
target's first probe, which must log in and connect afresh. Then the same
checks against 200 of the controllers as `tarnwick --keep-going
--reuse-session` processes (with --in-flight N too), two at a time: the CPU time of
each (wait4), the process's start included.
"""

import concurrent.futures
import math
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time
import urllib.request

import exporter_fleet as fleet

COMMANDS = 200  # tarnwick processes run against as many controllers
SAMPLE_EVERY = 60.0  # seconds between two samples of the resident set
FLAT = 1.05  # the resident set's growth from minute one to the end
CORE_SHARE = 10.0  # % of one core the exporter may take with kept sessions


def log(message):
    print(message, file=sys.stderr, flush=True)


class Schedule:
    """Which target is scraped when: target i of round r at
    start + r * interval + i * interval / targets."""

    def __init__(self, targets, interval, seconds):
        self.targets = targets
        self.interval = interval
        self.rounds = max(1, int(seconds // interval))
        self.timeout = min(10.0, interval)

    def offset(self, r, i):
        return r * self.interval + i * self.interval / self.targets

    def round_of(self, elapsed, i):
        """The round a request of target i at `elapsed` belongs to."""
        return max(0, math.floor((elapsed - self.offset(0, i)) /
                                 self.interval))


def scrape(port, target, timeout):
    """One scrape: (HTTP status, probe_success, probe_duration_seconds,
    seconds), the middle two None when the answer lacks them."""
    url = (f"http://127.0.0.1:{port}/probe?target=127.0.0.1:{target}"
           "&module=m&auth=a")
    request = urllib.request.Request(
        url, headers={"X-Prometheus-Scrape-Timeout-Seconds": f"{timeout:g}"})
    start = time.monotonic()
    try:
        with urllib.request.urlopen(request, timeout=30) as reply:
            body = reply.read().decode()
            status = reply.status
    except OSError as e:
        return getattr(e, "code", 0), None, None, time.monotonic() - start
    took = time.monotonic() - start
    values = {}
    for line in body.splitlines():
        name, _, value = line.partition(" ")
        if name in ("probe_success", "probe_duration_seconds"):
            values[name] = float(value)
    return (status, values.get("probe_success"),
            values.get("probe_duration_seconds"), took)


def probe_as_prometheus(exporter, controllers, schedule):
    """Scrapes every target every interval; returns the scrapes (round,
    outcome), the CPU of the exporter and of nginx, and the resident set
    each minute."""
    results = []
    lock = threading.Lock()
    samples = []
    done = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=64)
    cpu_start, nginx_start = exporter.cpu(), controllers.cpu()
    start, start_epoch = time.monotonic(), time.time()

    def sample():
        while not done.wait(SAMPLE_EVERY * (len(samples) + 1) -
                            (time.monotonic() - start)):
            samples.append(exporter.resident_mb())
            log(f"exporter: minute {len(samples)}, {len(results)} answers, "
                f"{samples[-1]:.1f} MB")

    def one(r, port):
        outcome = scrape(exporter.port, port, schedule.timeout)
        with lock:
            results.append((r, outcome))

    sampler = threading.Thread(target=sample)
    sampler.start()
    for r in range(schedule.rounds):
        for i, port in enumerate(controllers.ports):
            delay = start + schedule.offset(r, i) - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            pool.submit(one, r, port)
    pool.shutdown(wait=True)
    took = time.monotonic() - start
    done.set()
    sampler.join()
    return {"scrapes": results, "seconds": took, "start": start_epoch,
            "cpu": exporter.cpu() - cpu_start,
            "nginx_cpu": controllers.cpu() - nginx_start,
            "rss": samples + [exporter.resident_mb()],
            "peak": exporter.peak_mb()}


def count_requests(lines, controllers, schedule, start, login_length):
    """Connections opened, of them resumed, and logins seen by nginx, over
    the run and after the first round."""
    index = {port: i for i, port in enumerate(controllers.ports)}
    counts = {k: 0 for k in ("opened", "resumed", "logins", "opened_later",
                             "resumed_later", "requests")}
    for t, port, _, number, resumed, length in lines:
        if port not in index:
            continue  # the calibration probe
        later = schedule.round_of(t - start, index[port]) >= 1
        counts["requests"] += 1
        counts["logins"] += length == login_length
        if number == 1:
            counts["opened"] += 1
            counts["resumed"] += resumed
            counts["opened_later"] += later
            counts["resumed_later"] += resumed and later
    return counts


def run_variant(binary, work, checks, schedule, name, auth_keys):
    """One variant against a fresh nginx; None when the exporter refuses
    `auth_keys` as unknown."""
    controllers = fleet.Controllers(work, schedule.targets, name)
    try:
        try:
            exporter = fleet.ExporterProcess(binary, work, checks, name,
                                             auth_keys)
        except fleet.MissingKeys as e:
            log(f"exporter: this build lacks the keys of the '{name}' "
                "variant, the variant is skipped:")
            log("\n".join(line for line in str(e).splitlines()
                          if "unknown key" in line))
            return None
        try:
            limits = (fleet.open_files_limit(exporter.proc.pid),
                      fleet.open_files_limit(controllers.proc.pid))
            # Shows a login's body length; also the exporter's first
            # probe, out of the figures.
            scrape(exporter.port, controllers.calibration, schedule.timeout)
            logins_before = exporter.logins()
            log(f"exporter: variant '{name}', {schedule.targets} targets "
                f"every {schedule.interval:g} s, {schedule.rounds} round(s)")
            probes = probe_as_prometheus(exporter, controllers, schedule)
            logins_after = exporter.logins()
        finally:
            exporter.stop()
    finally:
        controllers.stop()
    lines = controllers.requests()
    login_length = controllers.login_length(lines)
    probes["nginx"] = count_requests(lines, controllers, schedule,
                                     probes["start"], login_length)
    # Without kept sessions each probe logs in once; with them only the
    # exporter's counter or nginx can tell.
    if logins_before is not None and logins_after is not None:
        probes["logins"] = (logins_after - logins_before, "/metrics")
    elif not auth_keys:
        probes["logins"] = (len(probes["scrapes"]), "= probes")
    elif login_length is not None:
        probes["logins"] = (probes["nginx"]["logins"], "nginx")
    else:
        probes["logins"] = (None, "unknown")
    probes["cross_check"] = (probes["nginx"]["logins"]
                             if login_length is not None else None)
    probes["limits"] = limits
    return probes


def run_commands(tarnwick, ports, checks):
    """The same checks as one tarnwick process per target, two at a time;
    the CPU time of each."""
    cpus = []
    failed = 0
    queue = list(ports)
    running = {}

    def start(port):
        proc = subprocess.Popen(
            [tarnwick, "--controller_ip", f"127.0.0.1:{port}",
             "--username", "monitor", "--password", fleet.PASSWORD,
             "--config_dir", checks, "--keep-going", "--reuse-session",
             *fleet.in_flight_options()],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        running[proc.pid] = proc

    while queue or running:
        while queue and len(running) < 2:
            start(queue.pop())
        pid, status, usage = os.wait4(-1, 0)
        if pid not in running:
            continue
        del running[pid]
        cpus.append(usage.ru_utime + usage.ru_stime)
        failed += os.waitstatus_to_exitcode(status) != 0
    return {"cpus": cpus, "failed": failed}


def variants(session_max_age):
    return [("without", ""),
            ("with", f", session_max_age: {session_max_age}m, "
                     "keep_connections: true")]


def measure(builds, work, targets=1000, interval=60.0, seconds=300.0,
            session_max_age=10, in_flight=1):
    build = builds[-1]
    fleet.IN_FLIGHT = in_flight
    exporter_bin = os.path.join(os.path.dirname(build.tarnwick),
                                "tarnwick_exporter")
    if shutil.which("nginx") is None:
        log("exporter: no nginx on PATH, the section is left out")
        return None
    files = fleet.raise_open_files(fleet.open_files_wanted(targets))
    log(f"exporter: open files limit {files}")
    checks = os.path.join(work, "exporter-checks")
    fleet.write_checks(checks)
    schedule = Schedule(targets, interval, seconds)
    runs = {name: run_variant(exporter_bin, work, checks, schedule, name,
                              keys)
            for name, keys in variants(session_max_age)}
    controllers = fleet.Controllers(work, min(COMMANDS, targets))
    try:
        commands = run_commands(build.tarnwick, controllers.ports, checks)
    finally:
        controllers.stop()
    return {"runs": runs, "commands": commands, "build": build.label,
            "schedule": schedule, "session_max_age": session_max_age}


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


def figures(probes, schedule):
    """The figures of one variant, by name."""
    scrapes = [outcome for _, outcome in probes["scrapes"]]
    n = len(scrapes)
    later = sum(1 for r, _ in probes["scrapes"] if r >= 1)
    good = sum(1 for s in scrapes if s[0] == 200 and s[1] == 1)
    durations = [s[2] for s in scrapes if s[2] is not None] or [0.0]
    walls = [s[3] for s in scrapes]
    logins, source = probes["logins"]
    counts = probes["nginx"]
    rss = probes["rss"]
    hours_later = (schedule.rounds - 1) * schedule.interval / 3600
    f = {
        "good": good, "n": n,
        "rate": n / probes["seconds"],
        "cpu": probes["cpu"], "cpu_probe": probes["cpu"] / n * 1000,
        "core": probes["cpu"] / probes["seconds"] * 100,
        "nginx_probe": probes["nginx_cpu"] / n * 1000,
        "nginx_core": probes["nginx_cpu"] / probes["seconds"] * 100,
        "peak": probes["peak"], "rss": rss,
        # Every target's first probe logs in; the rate leaves those out.
        "logins": logins, "source": source,
        "per_hour": ((logins - schedule.targets) / schedule.targets /
                     hours_later
                     if logins is not None and hours_later > 0 else None),
        "opened": counts["opened"] / n,
        "opened_later": counts["opened_later"] / later if later else None,
        "resumed_later": counts["resumed_later"],
        "opened_later_count": counts["opened_later"],
        "requests_per_conn": counts["requests"] / max(1, counts["opened"]),
        "p50": percentile(durations, 50) * 1000,
        "p99": percentile(durations, 99) * 1000,
        "wall_p50": percentile(walls, 50) * 1000,
        "wall_p99": percentile(walls, 99) * 1000,
        "flat": rss[-1] / rss[0] if len(rss) >= 2 and rss[0] else None,
    }
    f["cross_check"] = probes["cross_check"]
    f["limits"] = probes["limits"]
    return f


def optional(value, fmt):
    return "-" if value is None else fmt.format(value)


def table_rows():
    """(label, function of a variant's figures) per row of the table."""
    return [
        ("scrapes answered 200 with probe_success 1",
         lambda f: f"{f['good']} of {f['n']}"),
        ("probes per second", lambda f: f"{f['rate']:.1f}"),
        ("exporter CPU over the run", lambda f: f"{f['cpu']:.2f} s"),
        ("exporter CPU per probe", lambda f: f"{f['cpu_probe']:.2f} ms"),
        ("exporter CPU, % of one core", lambda f: f"{f['core']:.1f}%"),
        ("nginx CPU per probe, % of one core",
         lambda f: f"{f['nginx_probe']:.2f} ms, {f['nginx_core']:.1f}%"),
        ("exporter peak memory (VmHWM)", lambda f: f"{f['peak']:.1f} MB"),
        ("exporter resident set each minute, at the end",
         lambda f: ", ".join(f"{m:.1f}" for m in f["rss"]) + " MB"),
        ("logins over the run (source)",
         lambda f: optional(f["logins"], "{:.0f}") + f" ({f['source']})"),
        ("logins counted by nginx (a login's body length)",
         lambda f: optional(f["cross_check"], "{}")),
        ("logins per target per hour after the first round",
         lambda f: optional(f["per_hour"], "{:.1f}")),
        ("connections opened per probe, over the run / after the first "
         "round", lambda f: f"{f['opened']:.2f} / " +
         optional(f["opened_later"], "{:.2f}")),
        ("of those after the first round, TLS session resumed",
         lambda f: f"{f['resumed_later']} of {f['opened_later_count']}"),
        ("requests per connection", lambda f: f"{f['requests_per_conn']:.1f}"),
        ("probe_duration_seconds, p50 / p99",
         lambda f: f"{f['p50']:.0f} ms / {f['p99']:.0f} ms"),
        ("scrape, p50 / p99",
         lambda f: f"{f['wall_p50']:.0f} ms / {f['wall_p99']:.0f} ms"),
        ("open files limit, exporter / nginx",
         lambda f: f"{f['limits'][0]} / {f['limits'][1]}"),
    ]


def report(results, targets):
    """Markdown lines; appends (target, measured, met) to targets."""
    if results is None:
        return []
    schedule = results["schedule"]
    age = results["session_max_age"]
    runs = {name: figures(probes, schedule)
            for name, probes in results["runs"].items() if probes}
    names = list(results["runs"])
    cpus = results["commands"]["cpus"]
    command_mean = statistics.mean(cpus) * 1000
    command_median = statistics.median(cpus) * 1000
    n = schedule.targets
    lines = [
        f"## The exporter at {n} targets", "",
        f"{n} controllers (nginx, one canned reply, TLS with ECDSA), each "
        f"scraped every {schedule.interval:g} s for {schedule.rounds} "
        f"round{'s' if schedule.rounds != 1 else ''}, "
        "the scrapes spread over the interval; module of 5 checks, one "
        f"compound over {fleet.ELEMENTS} elements "
        f"({fleet.REQUESTS_PER_PROBE} requests a probe), "
        + (f"`in_flight: {fleet.IN_FLIGHT}`" if fleet.IN_FLIGHT > 1
           else "one request after another")
        + f". \"with\": the auth has `session_max_age: "
        f"{age}m` and `keep_connections: true`. Then the same checks as "
        f"{len(cpus)} `"
        + " ".join(["tarnwick --keep-going --reuse-session",
                    *fleet.in_flight_options()])
        + "` processes, two at a time.", "",
        "| figure | " + " | ".join(names) + " |",
        "|---|" + "---|" * len(names),
    ]
    for number, (label, cell) in enumerate(table_rows()):
        lines.append(f"| {label} | " + " | ".join(
            cell(runs[name]) if name in runs else
            "-" if number else "skipped: the build lacks the keys"
            for name in names) + " |")
    lines += [
        f"| `tarnwick` CPU per run, mean (median) | {command_mean:.1f} ms "
        f"({command_median:.1f} ms) | |",
        f"| `tarnwick` runs that failed | {results['commands']['failed']} "
        "| |", ""]
    for name in names:
        f = runs.get(name)
        if f is None:
            continue
        targets.append((f"exporter, {name}: every probe succeeds",
                        f"{f['good']} of {f['n']}", f["good"] == f["n"]))
        targets.append((f"exporter, {name}: CPU per probe at most the "
                        "`tarnwick` command's for the same checks",
                        f"{f['cpu_probe']:.2f} ms vs {command_mean:.1f} ms",
                        f["cpu_probe"] <= command_mean))
        if f["flat"] is not None:
            targets.append((f"exporter, {name}: resident set flat from "
                            "minute one to the end (at most +5%)",
                            f"{f['rss'][0]:.1f} MB -> {f['rss'][-1]:.1f} MB",
                            f["flat"] <= FLAT))
    targets += kept_targets(runs.get("with"), n, age)
    return lines


def kept_targets(f, n, age):
    """The targets of the variant with kept sessions and connections."""
    bound = 60 / age
    names = [f"exporter, with: logins per target per hour at most "
             f"60 / session_max_age = {bound:g}",
             "exporter, with: at most one connection opened per probe "
             "(after the first round)",
             "exporter, with: every such connection resumes its TLS session",
             f"exporter, with: under {CORE_SHARE:g}% of one core at {n} "
             "targets"]
    if f is None:
        return [(name, "not run: the build lacks the keys", False)
                for name in names]
    opened = f["opened_later"]
    return [
        (names[0], optional(f["per_hour"], "{:.1f}"),
         f["per_hour"] is not None and f["per_hour"] <= bound),
        (names[1], optional(opened, "{:.2f}"),
         opened is not None and opened <= 1),
        (names[2], f"{f['resumed_later']} of {f['opened_later_count']}",
         f["resumed_later"] == f["opened_later_count"]),
        (names[3], f"{f['core']:.1f}%", f["core"] < CORE_SHARE),
    ]
