#!/usr/bin/python3
"""Runs every benchmark and prints the table of their figures, the ones docs/PERFORMANCE.md keeps.

  bench/run.py [--build DIR] [--sets 3] [--only NAME,...] [--results FILE]
  bench/run.py --table RESULTS...      the table of figures taken before

  core     talverin_benchmarks: the core on the test suite's fakes, the SQLite store, one stamp's
           round trip against the stamp service; 3 repetitions, their medians
  latency  start to arrival request (11 starts each: the agent trusting the CA the deployed way,
           the agent trusting it by TALVERIN_CA_FILE, the toolkit floor), then lock to leaving
           request (100 locks) beside bench/lock-curl.sh; one set per --sets, each on a fresh bed
  memory   one latency set with the bed, and so the HOME and its store, on /dev/shm: no disk flush
  resend   0, 1,000 and 10,000 stored records sent at start-up, headless; --sets runs of each
  slow     3,000 records to a service that waits 150 ms before each answer, once
  network  a stored leaving stamp, from the fake NetworkManager reporting the network back to the
           service's reading of its request; 10 runs a set, one set per --sets
  idle     the agent's memory and wake-ups over 60 s with its tray icon, then the toolkit floor's;
           --sets runs trusting the CA the deployed way, one by TALVERIN_CA_FILE

The agent runs in the test suite's process bed (tests/process/conftest.py): private session and
system buses with the fake logind, the local stamp service with a CA made for the run, an X display
with trayer where a tray is needed. The whole run is in a mount namespace of its own in
which that CA is also in the system's certificate folder: the "deployed" trust, with no TALVERIN_CA_FILE, as a deployed agent trusts its service's public
authority. Every figure goes to RESULTS (JSON lines; default BUILD/benchmarks.jsonl) with the load
average before and after it was taken.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
TRUST = {"deployed": {"TALVERIN_CA_FILE": None}, "file": {}}
TICKS = os.sysconf("SC_CLK_TCK")  # CPU time's unit in /proc
agent = None  # agent_benchmarks, imported once the environment is the run's


def load():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


class Run:
    """Makes the beds, and keeps every figure with the load it was taken under."""

    def __init__(self, options, work):
        self.options, self.work, self.entries, self.beds = options, work, [], []
        self.results = open(options.results or options.build / "benchmarks.jsonl", "w")

    def bed(self, parent=None, logind_options=()):
        self.beds.append(agent.Bed(Path(tempfile.mkdtemp(dir=parent or self.work)),
                                   self.work / "certs", logind_options))
        return self.beds[-1]

    def end_beds(self):
        for bed in self.beds:
            for child in reversed(bed.children):
                child.stop()
        self.beds = []

    def measure(self, name, measurement, **labels):
        before = load()
        entry = {"benchmark": name, **labels, **measurement(), "load": [before, load()]}
        self.entries.append(entry)
        print(json.dumps(entry, ensure_ascii=False), file=self.results, flush=True)
        print(f"{name} {labels}: load {before} -> {entry['load'][1]}", file=sys.stderr)


def core(run):
    bed, out = run.bed(), run.work / "core.json"

    def benchmarks():
        with open(run.work / "core.console", "w") as console:  # the agent's console lines
            subprocess.run([run.options.build / "bench/talverin_benchmarks",
                            "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
                            f"--benchmark_out={out}"], env=bed.environment(), stdout=console,
                           check=True)
        return {"runs": [b for b in json.loads(out.read_text())["benchmarks"]
                         if b.get("aggregate_name") == "median"]}
    run.measure("core", benchmarks)
    run.end_beds()


def latency(run, sets=None, parent=None):
    for _ in range(sets or run.options.sets):
        bed = run.bed(parent)
        desktop = {"DISPLAY": agent.start_display(bed), "QT_QPA_PLATFORM": None}
        for program, trust in (("agent", "deployed"), ("agent", "file"), ("floor", "deployed")):
            run.measure("start", lambda: agent.start_latency(
                bed, 11, program == "floor", **desktop, **TRUST[trust]),
                program=program, trust=trust, on_memory=parent is not None)
        run.measure("lock", lambda: agent.lock_latency(bed, 100, **desktop, **TRUST["deployed"]),
                    on_memory=parent is not None)
        run.end_beds()


def memory(run):
    shm = tempfile.mkdtemp(dir="/dev/shm")
    try:
        latency(run, 1, shm)
    finally:
        run.end_beds()
        shutil.rmtree(shm)


def resend(run):
    bed = run.bed()
    for records in (0, 1000, 10000):
        for _ in range(run.options.sets):
            run.measure("resend", lambda: agent.resend(bed, records), records=records)
    run.end_beds()


def slow(run):
    bed = run.bed()
    for path in (agent.ARRIVAL, agent.LEAVING):
        bed.service.react(path, delayMs=150)
    run.measure("slow", lambda: agent.resend(bed, 3000), delay_ms=150)
    run.end_beds()


def network(run):
    bed = run.bed(logind_options=("--network-state", "70"))
    for _ in range(run.options.sets):
        run.measure("network", lambda: agent.network_back(bed, 10, **TRUST["deployed"]))
    run.end_beds()


def idle(run):
    for trust in ["deployed"] * run.options.sets + ["file"]:
        bed = run.bed()
        run.measure("idle", lambda: agent.idle(bed, 5, 60, **TRUST[trust]), trust=trust)
        run.end_beds()


BENCHMARKS = {"core": core, "latency": latency, "memory": memory, "resend": resend, "slow": slow,
              "network": network, "idle": idle}


def table(entries):
    """The figures, one line each, with the load average (1, 5, 15 min) before and after."""
    def of(name, **labels):
        return [e for e in entries if e["benchmark"] == name
                and all(e.get(key) == value for key, value in labels.items())]

    def line(label, figures, group):
        print(f"{label:<46} {figures}  [load {'; '.join(' -> '.join(e['load']) for e in group)}]")

    def ms(values, digits=1):
        return " ".join(f"{value / 1000:.{digits}f}" for value in values)

    for entry in of("core"):
        for b in entry["runs"]:
            name = re.sub(r"/(iterations:\d+|manual_time|real_time)", "", b["run_name"])
            # ns: the CPU's, which another program's load hardly moves, but for threads at once
            time = b["real_time" if "/real_time" in b["run_name"] else "cpu_time"]
            figures = f"p50 {b['p50_us']:.0f} µs, p99 {b['p99_us']:.0f} µs" if "p50_us" in b \
                else f"{time:.3g} ns" if time < 1000 else f"{time / 1000:.3g} µs"
            line(name, figures, [entry])
    for on_memory in (False, True):
        place = ", store on memory" if on_memory else ""
        for program, trust in (("agent", "deployed"), ("agent", "file"), ("floor", "deployed")):
            if group := of("start", program=program, trust=trust, on_memory=on_memory):
                medians, p99s = [e["median"] for e in group], [e["p99"] for e in group]
                line(f"start, {program}, {trust} trust{place}",
                     f"median {ms([statistics.median(medians)])} ms (sets {ms(medians)}), "
                     f"p99 {ms(p99s)} ms, first starts {ms(e['first'] for e in group)} ms", group)
        if group := of("lock", on_memory=on_memory):
            for who in ("agent", "curl_script"):
                medians = [e[who]["median"] for e in group]
                line(f"lock, {who.replace('_', ' ')}{place}",
                     f"median {ms([statistics.median(medians)], 2)} ms (sets {ms(medians, 2)}), "
                     f"p99 {ms((e[who]['p99'] for e in group), 2)} ms", group)
            ratios = [e["ratio"] for e in group]
            line(f"lock, script / agent{place}", f"median {statistics.median(ratios):.1f} "
                 f"(sets {' '.join(f'{r:.1f}' for r in ratios)})", group)
    for records in (0, 1000, 10000):
        if group := of("resend", records=records):
            median = {key: statistics.median(e[key] for e in group) for key in (
                "wall_s", "peak_tcp_open", "peak_sockets", "VmHWM", "cpu_ticks", "remaining")}
            sound = all(e["distinct_stamps"] == e["requests"] == records + 2 and e["remaining"] == 0
                        and e["all_answered_200"] and e["agent_status"] == 0 for e in group)
            runs = " ".join(f"{e['wall_s']:.2f}" for e in group)
            line(f"resend {records}", f"{median['wall_s']:.2f} s (runs {runs}), TCP "
                 f"{median['peak_tcp_open']:g}, sockets {median['peak_sockets']:g}, VmHWM "
                 f"{median['VmHWM']:,.0f} kB, CPU {median['cpu_ticks'] / TICKS:.2f} s, each stamp "
                 f"once, all 200, exit 0: {sound}", group)
    if group := of("network"):
        medians = [e["median"] for e in group]
        line("network back -> stored stamp's request", f"median "
             f"{ms([statistics.median(medians)], 2)} ms (sets {ms(medians, 2)}), max "
             f"{ms((e['max'] for e in group), 2)} ms", group)
    for entry in of("slow"):
        line("resend 3000 from a slow service", f"{entry['wall_s']:.1f} s, left "
             f"{entry['remaining']}, TimeoutError lines {entry['timeout_log_lines']}, "
             f"VmHWM {entry['VmHWM']:,} kB", [entry])
    for trust in ("deployed", "file"):
        for entry in of("idle", trust=trust):
            a, f = entry["agent"], entry["floor"]
            switches = sum(t[2] + t[3] for t in entry["threads"].values())
            line(f"idle, {trust} trust", f"VmRSS {a['VmRSS']:,} kB (anon {a['RssAnon']:,}, file "
                 f"{a['RssFile']:,}), Pss {a['Pss']:,} kB, {entry['ticks']} ticks and {switches} "
                 f"switches in 60 s, icon embedded {entry['icon_embedded']}; floor VmRSS "
                 f"{f['VmRSS']:,} kB (anon {f['RssAnon']:,}, file {f['RssFile']:,}), "
                 f"Pss {f['Pss']:,} kB", [entry])
    for entry in of("idle", trust="deployed")[:1]:
        line("idle, the floor's largest mapped files", ", ".join(
            f"{name} {size:,} kB" for name, size in entry["floor_files"]), [entry])


def trust_as_deployed(ca, folder):
    """The CA in a copy of the system's certificate folder mounted over it, in this namespace only:
    trusted as a deployed agent trusts its service's public authority."""
    folder.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "none", folder], check=True)
    subprocess.run(["cp", "-RP", "/etc/ssl/certs/.", ca, folder], check=True)
    subprocess.run(["openssl", "rehash", folder], check=True, capture_output=True)
    subprocess.run(["mount", "--move", folder, "/etc/ssl/certs"], check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=SOURCE / "build")
    parser.add_argument("--sets", type=int, default=3)
    parser.add_argument("--only", default=",".join(BENCHMARKS), help=",".join(BENCHMARKS))
    parser.add_argument("--results", type=Path)
    parser.add_argument("--table", type=Path, nargs="+", help="print the table of RESULTS files")
    options = parser.parse_args()
    if options.table:
        return table([json.loads(line) for file in options.table for line in open(file)])
    options.build, options.only = options.build.resolve(), options.only.split(",")
    if not set(options.only) <= set(BENCHMARKS):
        parser.error(f"--only takes some of {','.join(BENCHMARKS)}")
    if "TALVERIN_BENCH_WORK" not in os.environ:  # first into the namespace, with a CA to trust
        work = tempfile.mkdtemp(prefix="talverin-bench-")
        subprocess.run([SOURCE / "tools/stamp-service/make-ca.sh", f"{work}/certs"], check=True,
                       stdout=subprocess.DEVNULL)
        user = [] if os.geteuid() == 0 else ["--map-root-user"]
        os.execvpe("unshare", ["unshare", *user, "--mount", "--propagation", "private",
                               "/usr/bin/python3", __file__, *sys.argv[1:]],
                   dict(os.environ, TALVERIN_BENCH_WORK=work))
    work = Path(os.environ["TALVERIN_BENCH_WORK"])
    trust_as_deployed(work / "certs/ca.pem", work / "system-certs")
    # Nothing of the caller's session reaches what is measured: the bed gives it the rest.
    path = os.environ.get("PATH", "/usr/bin:/bin")
    os.environ.clear()
    os.environ.update(PATH=path, LANG="C.UTF-8", TALVERIN_BUILD_DIR=str(options.build))
    global agent
    import agent_benchmarks as agent
    run = Run(options, work)
    try:
        for name in options.only:
            BENCHMARKS[name](run)
    finally:
        run.end_beds()
        shutil.rmtree(work, ignore_errors=True)
        print(f"machine: {os.cpu_count()} cores, {os.uname().release}, load now {load()}")
        table(run.entries)


if __name__ == "__main__":
    main()
