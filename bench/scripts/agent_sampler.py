#!/usr/bin/env python3
"""Starts the built agent and samples it until it has sent every unsent record.

  agent_sampler.py run --agent EXE --env FILE --store DB --log-dir DIR --service-port P
                       --control-port C --records N [--interval-ms 10]
      Clears the stamp service's request log, starts the agent with exactly the environment in
      FILE (NAME=VALUE lines) and samples it every interval until the store holds no record and
      the agent's log has its arrival stamp accepted, or until no record has been removed for
      --stall-s seconds (then "remaining" says how many are left). Then it reads the agent's
      memory and CPU time, ends the agent with SIGTERM (by its process id; SIGKILL after 20 s)
      and checks what the service received. Prints one JSON object.
  agent_sampler.py summarize FILE...
      Medians, per record count, of the JSON lines in the files.

Sockets are counted two ways on every sample: the agent's descriptors that are sockets (TCP,
Unix, netlink: D-Bus included), and the TCP connections to the service's port, read from the
network namespace's /proc/PID/net/tcp and tcp6 (whose other ends, the service's, have the port
as their local one and are not counted; only the agent talks to that port).
"""

import argparse
import json
import os
import sqlite3
import statistics
import subprocess
import sys
import time

from agent_bench import (arrival_accepted, control, die_with_sampler, end_agent,
                         environment_from, lines_containing)

TCP_STATES = {"01": "established", "02": "syn_sent", "06": "time_wait", "08": "close_wait"}


def status_fields(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def kilobytes(fields, name):
    return int(fields[name].split()[0])


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        after_name = stat.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line; after_name starts at field 3.
    return int(after_name[11]) + int(after_name[12])


def descriptor_counts(pid):
    sockets = 0
    total = 0
    for name in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{name}")
        except OSError:
            continue  # closed while we looked
        total += 1
        if target.startswith("socket:"):
            sockets += 1
    return sockets, total


def connections_to(pid, port):
    counts = {}
    for table in ("tcp", "tcp6"):
        try:
            with open(f"/proc/{pid}/net/{table}") as rows:
                next(rows)
                for row in rows:
                    fields = row.split()
                    if int(fields[2].rsplit(":", 1)[1], 16) == port:
                        state = TCP_STATES.get(fields[3], "other")
                        counts[state] = counts.get(state, 0) + 1
        except FileNotFoundError:
            pass
    return counts


def run(arguments):
    control(arguments.control_port, "POST", "/requests/clear")
    store = sqlite3.connect(arguments.store, timeout=5)  # reads only
    interval = arguments.interval_ms / 1000.0
    load_before = open("/proc/loadavg").read().split()[:3]
    peaks = {"sockets": 0, "descriptors": 0, "tcp_open": 0, "tcp_established": 0,
             "tcp_time_wait": 0, "rss_kb": 0}
    first_removal_s = None
    last_remaining = None
    last_change_s = 0.0
    result = {"records": arguments.records, "load_before": " ".join(load_before)}

    with open(arguments.output, "wb") as output:
        started = time.monotonic()
        agent = subprocess.Popen([arguments.agent], env=environment_from(arguments.env),
                                 stdout=output, stderr=subprocess.STDOUT,
                                 preexec_fn=die_with_sampler)
    try:
        while True:
            if agent.poll() is not None:
                raise RuntimeError(f"the agent ended early with status {agent.returncode}")
            now = time.monotonic() - started
            try:
                sockets, descriptors = descriptor_counts(agent.pid)
                connections = connections_to(agent.pid, arguments.service_port)
                rss = kilobytes(status_fields(agent.pid), "VmRSS")
            except (FileNotFoundError, ProcessLookupError):
                continue  # ended between poll() and the reads; the next poll() says so
            peaks["sockets"] = max(peaks["sockets"], sockets)
            peaks["descriptors"] = max(peaks["descriptors"], descriptors)
            open_connections = sum(n for s, n in connections.items() if s != "time_wait")
            peaks["tcp_open"] = max(peaks["tcp_open"], open_connections)
            peaks["tcp_established"] = max(peaks["tcp_established"],
                                           connections.get("established", 0))
            peaks["tcp_time_wait"] = max(peaks["tcp_time_wait"], connections.get("time_wait", 0))
            peaks["rss_kb"] = max(peaks["rss_kb"], rss)

            remaining = store.execute("SELECT count(*) FROM defaults").fetchone()[0]
            if first_removal_s is None and remaining < arguments.records:
                first_removal_s = now
            if remaining != last_remaining:
                last_remaining = remaining
                last_change_s = now
            finished = remaining == 0 and arrival_accepted(arguments.log_dir)
            stalled = remaining > 0 and now - last_change_s > arguments.stall_s
            if finished or stalled:
                done = time.monotonic() - started if finished else last_change_s
                fields = status_fields(agent.pid)
                result.update({
                    "remaining": remaining,
                    "wall_s": round(done, 3),
                    "first_resend_removed_s": first_removal_s and round(first_removal_s, 3),
                    "vm_hwm_kb": kilobytes(fields, "VmHWM"),
                    "vm_rss_kb": kilobytes(fields, "VmRSS"),
                    "threads": int(fields["Threads"]),
                    "cpu_ticks": cpu_ticks(agent.pid),
                    "clock_ticks_per_s": os.sysconf("SC_CLK_TCK"),
                })
                break
            if now > arguments.timeout_s:
                raise RuntimeError(f"{remaining} records still unsent after {now:.1f} s")
            time.sleep(interval)
        result.update({f"peak_{name}": value for name, value in peaks.items()})
    finally:
        result["agent_end"] = end_agent(agent)
        store.close()

    received = [json.loads(line)
                for line in control(arguments.control_port, "GET", "/requests").splitlines()
                if line.strip()]
    stamps = [entry for entry in received if entry["path"].startswith("/api/osx/v1/stamp/")]
    result["requests_received"] = len(stamps)
    result["distinct_stamps"] = len({entry["target"] for entry in stamps})
    result["all_answered_200"] = all(entry["action"] == "answer 200" for entry in stamps)
    result["timeout_log_lines"] = lines_containing(arguments.log_dir, "TimeoutError")
    return result


def summarize(files):
    runs = {}
    for file in files:
        with open(file) as lines:
            for line in lines:
                if line.strip():
                    entry = json.loads(line)
                    runs.setdefault(entry["records"], []).append(entry)
    fields = ["wall_s", "remaining", "peak_sockets", "peak_tcp_open", "peak_descriptors",
              "vm_rss_kb", "vm_hwm_kb", "cpu_ticks", "threads"]
    print("records runs " + " ".join(fields))
    for records in sorted(runs):
        entries = runs[records]
        medians = [statistics.median(entry.get(field, 0) for entry in entries) for field in fields]
        print(f"{records} {len(entries)} " + " ".join(f"{value:g}" for value in medians))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run_parser = commands.add_parser("run")
    run_parser.add_argument("--agent", required=True)
    run_parser.add_argument("--env", required=True)
    run_parser.add_argument("--store", required=True)
    run_parser.add_argument("--log-dir", required=True)
    run_parser.add_argument("--output", required=True)
    run_parser.add_argument("--service-port", type=int, required=True)
    run_parser.add_argument("--control-port", type=int, required=True)
    run_parser.add_argument("--records", type=int, required=True)
    run_parser.add_argument("--interval-ms", type=float, default=10.0)
    run_parser.add_argument("--timeout-s", type=float, default=600.0)
    run_parser.add_argument("--stall-s", type=float, default=10.0)
    summarize_parser = commands.add_parser("summarize")
    summarize_parser.add_argument("files", nargs="+")
    arguments = parser.parse_args()
    if arguments.command == "run":
        print(json.dumps(run(arguments), ensure_ascii=False))
    else:
        summarize(arguments.files)


if __name__ == "__main__":
    sys.exit(main())
