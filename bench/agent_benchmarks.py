"""The benchmarks of the built agent, each run in a bed of the test suite's process bed
(tests/process/conftest.py): start-up and screen-lock latencies, a resend of stored records, the
idle agent. Each takes a bed and returns its figures; bench/run.py makes the beds and prints the
table. Latencies are read from the system clock by the process that acts (this driver just before
it starts a program, the fake logind just before it announces a lock) and by the stamp service when
it has read a request (receivedMicroseconds), in microseconds."""

import math
import os
import shutil
import sqlite3
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/process"))
from conftest import ARRIVAL, BUILD, LABEL, LEAVING, SERIAL, SOURCE, Bed, Child  # noqa: E402,F401
from conftest import StampService, start_display, wait_until  # noqa: E402
from test_desktop import Screen  # noqa: E402

AGENT, FLOOR = BUILD / "talverin-timestamp", BUILD / "bench/talverin-tray-floor"
ACCEPTED = {path: LABEL[path] + "に成功しました" for path in (ARRIVAL, LEAVING)}
CURL_SERIAL = "BENCH-CURL-0001"


def summary(values):
    """Median, nearest-rank 99th percentile, extremes."""
    ordered = sorted(values)
    return {"count": len(ordered), "median": statistics.median(ordered), "min": ordered[0],
            "p99": ordered[max(1, math.ceil(0.99 * len(ordered))) - 1], "max": ordered[-1]}


def fresh_home(bed):
    """An empty HOME, and a service that has received nothing."""
    shutil.rmtree(bed.home)
    bed.home.mkdir()
    bed.service.post("/requests/clear")


def accepted(bed, path):
    """How many stamps to the path the agent has logged as accepted."""
    return sum(ACCEPTED[path] in line for line in bed.log())


def first_request(bed, path, serial=None, after=0):
    """The first request to the path with that serial (None: any) since the microsecond given."""
    for request in bed.service.requests(path):
        headers = {name.lower(): value for name, value in request["headers"]}
        if serial in (None, headers.get("x-osx-number")) and \
                request["receivedMicroseconds"] >= after:
            return request
    return None


def run(bed, command, name, **env):
    """A program of the bed's, started at once: no code runs before exec, so Python starts it by
    vfork, as a session would."""
    program = Child(command, bed.environment(**env), bed.folder, name)
    bed.children.append(program)
    return program


def stop_agent(agent):
    """SIGTERM, which sends the leaving stamp first: the agent must end with status 0."""
    agent.stop()
    if agent.process.returncode != 0:
        raise RuntimeError(f"the agent ended with status {agent.process.returncode}")


def start_latency(bed, runs, floor=False, **env):
    """From just before the program starts to the service's reading of its arrival request, each
    run in a fresh HOME; the agent is then ended once the stamp is accepted. The floor
    (bench/floor/TrayFloor.cpp) sends one POST without a serial, and is ended once it arrived."""
    origin = bed.environment()["TALVERIN_SERVICE_ORIGIN"]
    command = [FLOOR, origin + ARRIVAL] if floor else [AGENT]
    environment = bed.environment(**env)
    latencies = []
    for _ in range(runs):
        fresh_home(bed)
        started = time.time_ns() // 1000
        program = Child(command, environment, bed.folder, "start")
        bed.children.append(program)
        request = wait_until(lambda: first_request(bed, ARRIVAL), what="the arrival request")
        latencies.append(request["receivedMicroseconds"] - started)
        if floor:
            program.stop()
        else:
            wait_until(lambda: accepted(bed, ARRIVAL), what="the arrival stamp's answer")
            stop_agent(program)
    return {"first": latencies[0], "all": latencies, **summary(latencies)}


def lock_latency(bed, cycles, **env):
    """The agent started once; then, each cycle, the fake logind sets LockedHint, and the latency
    runs from just before it announced that to the service's reading of the leaving request, for
    the agent and for bench/lock-curl.sh on the same signal. Then the unlock's arrival is awaited.
    """
    origin = bed.environment()["TALVERIN_SERVICE_ORIGIN"]
    run(bed, [SOURCE / "bench/lock-curl.sh", origin, bed.certs / "ca.pem", CURL_SERIAL],
        "lock-curl").wait_line("watching")
    fresh_home(bed)
    agent = run(bed, [AGENT], "lock", **env)
    wait_until(lambda: accepted(bed, ARRIVAL), what="the start-up arrival")
    time.sleep(1.0)  # the lock watch is set up by then: this is no start-up benchmark
    latencies = {"agent": [], "curl_script": []}
    for cycle in range(cycles):
        arrivals, leavings = accepted(bed, ARRIVAL), accepted(bed, LEAVING)
        bed.service.post("/requests/clear")
        bed.logind("SetLockedHint", True)
        # When the fake logind announced it, as it prints on its output.
        announced = int((bed.folder / "fake_system.out").read_text().splitlines()[-1].split()[0])
        for who, serial in (("agent", SERIAL), ("curl_script", CURL_SERIAL)):
            request = wait_until(lambda: first_request(bed, LEAVING, serial, announced),
                                 what=f"the leaving request of the {who} in cycle {cycle}")
            latencies[who].append(request["receivedMicroseconds"] - announced)
        # Settled before the unlock, whose resend scan would otherwise send it once more.
        wait_until(lambda: accepted(bed, LEAVING) > leavings, what="the leaving stamp's answer")
        bed.logind("SetLockedHint", False)
        wait_until(lambda: accepted(bed, ARRIVAL) > arrivals, what="the arrival after the unlock")
        time.sleep(0.2)
    stop_agent(agent)
    figures = {who: {**summary(values), "all": values} for who, values in latencies.items()}
    return {**figures, "ratio": figures["curl_script"]["median"] / figures["agent"]["median"]}


def network_back(bed, runs, **env):
    """The agent started once; then, each run, the network goes (the fake NetworkManager's state
    20) and the service with it, a lock's leaving stamp fails and is stored, the service comes
    back, and the latency runs from just before the fake reports the network back (state 70) to
    the service's reading of that stored stamp's request. The unlock after it is awaited."""
    fresh_home(bed)
    agent = run(bed, [AGENT], "network", **env)
    wait_until(lambda: accepted(bed, ARRIVAL), what="the start-up arrival")
    latencies = []
    for cycle in range(runs):
        failures = sum("サーバに接続ができなかった" in line for line in bed.log())
        bed.logind("SetNetworkState", 20)
        bed.service.child.stop()
        bed.logind("SetLockedHint", True)
        wait_until(lambda: sum("サーバに接続ができなかった" in line for line in bed.log()) > failures,
                   what=f"the failed leaving stamp of run {cycle}")
        (key,) = bed.records()
        bed.service = StampService(bed, port=bed.service.port)
        back = time.time_ns() // 1000
        bed.logind("SetNetworkState", 70)
        request = wait_until(lambda: first_request(bed, LEAVING), what="the stored stamp's request")
        if request["tim"] != key.split("_")[1]:
            raise RuntimeError(f"{request['tim']} sent for the record {key}")
        latencies.append(request["receivedMicroseconds"] - back)
        bed.wait_records(0)
        arrivals = accepted(bed, ARRIVAL)
        bed.logind("SetLockedHint", False)
        wait_until(lambda: accepted(bed, ARRIVAL) > arrivals, what="the arrival after the unlock")
    stop_agent(agent)
    return {"all": latencies, **summary(latencies)}


def proc(pid, name):
    """The NAME: value lines of /proc/PID/NAME (or of a thread's, given "task/TID/status")."""
    return dict(line.split(":", 1) for line in Path(f"/proc/{pid}/{name}").read_text().splitlines())


def cpu_ticks(stat_file):
    """utime + stime, fields 14 and 15 of the stat line (counted after the name's parenthesis)."""
    fields = Path(stat_file).read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def memory(pid):
    """kB, and the threads; Pss counts each shared page in part, by how many map it."""
    status = proc(pid, "status")
    figures = {name: int(status[name].split()[0]) for name in ("VmRSS", "RssAnon", "RssFile",
                                                               "VmHWM", "Threads")}
    return {**figures, "Pss": int(proc(pid, "smaps_rollup")["Pss"].split()[0])}


def largest_files(pid, count=8):
    """The mapped files holding the most resident memory, kB each."""
    resident, name = {}, None
    for line in Path(f"/proc/{pid}/smaps").read_text().splitlines():
        fields = line.split()
        if not fields[0].endswith(":"):  # a mapping's first line: range, mode, ..., file
            name = Path(fields[5]).name if len(fields) > 5 and fields[5].startswith("/") else None
        elif fields[0] == "Rss:" and name:
            resident[name] = resident.get(name, 0) + int(fields[1])
    return sorted(resident.items(), key=lambda item: -item[1])[:count]


def threads(pid):
    """Per thread: its name, CPU ticks, voluntary and involuntary context switches."""
    table = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        status = proc(pid, f"task/{task.name}/status")
        table[task.name] = [status["Name"].strip(), cpu_ticks(task / "stat"),
                            int(status["voluntary_ctxt_switches"]),
                            int(status["nonvoluntary_ctxt_switches"])]
    return table


def idle(bed, settle, span, **env):
    """The agent with its tray icon on an X display with a tray host (trayer): SETTLE seconds after
    its arrival was accepted, its memory; then its CPU ticks and every thread's context switches
    over SPAN seconds. Last, the floor in the same session, given the same trust."""
    screen = Screen(bed, start_display(bed))
    fresh_home(bed)
    agent = run(bed, [AGENT], "idle", **screen.agent_env, **env)
    wait_until(lambda: accepted(bed, ARRIVAL), what="the start-up arrival")
    time.sleep(settle)
    pid = agent.process.pid
    result = {"icon_embedded": bool(screen.windows("icon")), "agent": memory(pid)}
    before, ticks = threads(pid), cpu_ticks(f"/proc/{pid}/stat")
    time.sleep(span)
    after, result["ticks"] = threads(pid), cpu_ticks(f"/proc/{pid}/stat") - ticks
    result["threads"] = {tid: [name] + [now - then for now, then in zip(counts, before[tid][1:])]
                         for tid, (name, *counts) in after.items() if tid in before}
    result["agent_after"], result["agent_files"] = memory(pid), largest_files(pid)
    origin = bed.environment()["TALVERIN_SERVICE_ORIGIN"]
    floor = run(bed, [FLOOR, origin + ARRIVAL], "floor", **screen.agent_env, **env)
    floor.wait_line("answered 200")
    time.sleep(settle)
    result["floor"], result["floor_files"] = memory(floor.process.pid), \
        largest_files(floor.process.pid)
    floor.stop()
    stop_agent(agent)
    return result


def connections_to(pid, port):
    """The agent's TCP connections to the port by state (01 established, 06 time-wait), from its
    network namespace's tables: only the agent talks to the service's port."""
    states = {}
    for table in ("tcp", "tcp6"):
        for row in Path(f"/proc/{pid}/net/{table}").read_text().splitlines()[1:]:
            fields = row.split()
            if int(fields[2].rsplit(":", 1)[1], 16) == port:
                states[fields[3]] = states.get(fields[3], 0) + 1
    return states


def descriptors(pid):
    """What the process's descriptors name ("socket:[...]", a path...)."""
    targets = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            targets.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except FileNotFoundError:
            pass  # closed meanwhile
    return targets


def resend(bed, records, interval=0.01, stall=10.0, timeout=600.0):
    """A fresh HOME whose store holds that many records (times a minute apart, arrival and leaving
    in turn) is given to the agent, headless. Every interval: its descriptors, its connections to
    the service and the records left; until the store is empty and the arrival accepted, or no
    record has gone for STALL seconds. Then its memory and CPU time."""
    fresh_home(bed)
    times = [time.strftime("%Y%m%d%H%M%S", time.gmtime(1704067200 + 60 * i))
             for i in range(records)]
    bed.seed({f"{LABEL[(ARRIVAL, LEAVING)[i % 2]]}_{tim}": tim for i, tim in enumerate(times)})
    store = sqlite3.connect(bed.store, timeout=5)  # reads only
    store.execute("PRAGMA journal_mode=WAL")  # as the agent leaves it
    peaks = dict.fromkeys(["sockets", "descriptors", "tcp_open", "tcp_time_wait", "rss_kb"], 0)
    first_removal = last_remaining = None
    started = time.monotonic()
    agent = run(bed, [AGENT], "resend")
    pid, port, last_change = agent.process.pid, bed.service.port, 0.0
    try:
        while True:
            if not agent.running():
                raise RuntimeError(f"the agent ended early: {agent.stderr()}")
            now = time.monotonic() - started
            targets = descriptors(pid)
            states = connections_to(pid, port)
            for name, value in (("sockets", sum(t.startswith("socket:") for t in targets)),
                                ("descriptors", len(targets)),
                                ("tcp_open", sum(n for s, n in states.items() if s != "06")),
                                ("tcp_time_wait", states.get("06", 0)),
                                ("rss_kb", int(proc(pid, "status")["VmRSS"].split()[0]))):
                peaks[name] = max(peaks[name], value)
            remaining = store.execute("SELECT count(*) FROM defaults").fetchone()[0]
            if first_removal is None and remaining < records:
                first_removal = now
            if remaining != last_remaining:
                last_remaining, last_change = remaining, now
            if (remaining == 0 and accepted(bed, ARRIVAL)) or now - last_change > stall:
                break
            if now > timeout:
                raise RuntimeError(f"{remaining} records still unsent after {now:.0f} s")
            time.sleep(interval)
        result = {"records": records, "remaining": remaining, "first_removal_s": first_removal,
                  "wall_s": time.monotonic() - started if remaining == 0 else last_change,
                  "cpu_ticks": cpu_ticks(f"/proc/{pid}/stat"), **memory(pid),
                  **{f"peak_{name}": value for name, value in peaks.items()}}
    finally:
        store.close()
        agent.stop()
    stamps = [r for r in bed.service.requests() if r["path"] in (ARRIVAL, LEAVING)]
    return {**result, "agent_status": agent.process.returncode, "requests": len(stamps),
            "distinct_stamps": len({(r["path"], r["tim"]) for r in stamps}),
            "all_answered_200": all(r["action"] == "answer 200" for r in stamps),
            "timeout_log_lines": sum("TimeoutError" in line for line in bed.log())}
