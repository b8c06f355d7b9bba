#!/usr/bin/env python3
"""How soon a stamp reaches the service: after the agent starts, and after the screen locks.

  stamp_latency.py start --agent COMMAND --env FILE --control-port C [--runs 11] [--floor]
      Each run gives the agent a fresh HOME (the caller's bench_agent_home layout, made again
      here) and starts it; the latency is from just before the agent is started to the moment the
      service received its arrival request. Once the stamp is accepted the agent is ended with
      SIGTERM, which sends its leaving stamp first. With --floor, COMMAND is the toolkit-only
      program bench/floor/TrayFloor.cpp instead, whose one request carries no serial: the first
      request to the arrival path counts, and the program is ended once it has been received.
  stamp_latency.py lock --agent COMMAND --env FILE --control-port C --login1-bus ADDRESS
                        --curl-serial S [--cycles 100]
      Starts the agent once and waits for its arrival stamp. Then, each cycle, the fake logind
      sets LockedHint to true; the latency is from just before it sent PropertiesChanged to the
      moment the service received the leaving request, for the agent and, in the same cycle, for
      bench/scripts/lock-curl.sh (which the caller starts; it stamps with the serial given). Then
      LockedHint goes back to false, and the cycle ends when the agent's arrival stamp has been
      accepted and it has settled.

COMMAND is the agent's command line, its words separated by spaces. Both print one JSON object: every latency in microseconds, with median, 99th percentile
(nearest rank), minimum and maximum.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

import dbus

from agent_bench import (ARRIVAL_ACCEPTED, control, end_agent,
                         environment_from, header, lines_containing, nearest_rank,
                         service_requests)

LEAVING_PATH = "/api/osx/v1/stamp/leaving"
ARRIVAL_PATH = "/api/osx/v1/stamp/arrival"
LEAVING_ACCEPTED = "終了時の打刻に成功しました"


def summary(values):
    if not values:
        return {"count": 0}
    return {"count": len(values), "median": statistics.median(values),
            "p99": nearest_rank(values, 0.99), "min": min(values), "max": max(values)}


def wait_for(condition, what, timeout=30.0, interval=0.02):
    # Figures come from the timestamps, not from when this notices: polling slowly leaves the CPU
    # to the processes measured.
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    sys.exit(f"timed out waiting for {what}")


def start_agent(agent, environment):
    # No code runs in the child before exec (such as a parent-death signal): Python then starts it
    # with vfork, as a session would, instead of copying the whole interpreter first. The finally
    # blocks end it instead.
    return subprocess.Popen(agent.split(), env=environment, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def fresh_home(environment):
    home = environment["HOME"]
    serial = open(os.path.join(home, "serial")).read()
    shutil.rmtree(home)
    for folder in (".config", ".local/share/com.talverin.Timestamp", "runtime"):
        os.makedirs(os.path.join(home, folder), mode=0o700)
    with open(os.path.join(home, "serial"), "w") as file:
        file.write(serial)


def first_request(port, path, serial, after=0):
    """The first request to path with that serial (None: any) since the microsecond given."""
    for request in service_requests(port):
        if (request["path"] == path and serial in (None, header(request, "X-OSX-NUMBER"))
                and request["receivedMicroseconds"] >= after):
            return request
    return None


def measure_start(arguments):
    environment = environment_from(arguments.env)
    serial = open(os.path.join(environment["HOME"], "serial")).read().strip()
    log_dir = os.path.join(environment["HOME"], "Library", "Logs")
    latencies = []
    wanted_serial = None if arguments.floor else serial
    for _ in range(arguments.runs):
        fresh_home(environment)
        control(arguments.control_port, "POST", "/requests/clear")
        started = time.time_ns() // 1000
        agent = start_agent(arguments.agent, environment)
        try:
            request = wait_for(
                lambda: first_request(arguments.control_port, ARRIVAL_PATH, wanted_serial),
                "the arrival request")
            latencies.append(request["receivedMicroseconds"] - started)
            if not arguments.floor:
                wait_for(lambda: lines_containing(log_dir, ARRIVAL_ACCEPTED),
                         "the arrival stamp's answer")
        finally:
            ending = end_agent(agent)
        if not arguments.floor and agent.returncode != 0:
            sys.exit(f"the agent did not end cleanly: {ending}")
    print(json.dumps({"benchmark": "start to arrival request", "unit": "µs",
                      "program": "floor" if arguments.floor else "agent",
                      "trust": "file" if "TALVERIN_CA_FILE" in environment else "system",
                      "first": latencies[0], "all": latencies, **summary(latencies)}))


def measure_lock(arguments):
    environment = environment_from(arguments.env)
    serial = open(os.path.join(environment["HOME"], "serial")).read().strip()
    log_dir = os.path.join(environment["HOME"], "Library", "Logs")
    login1 = dbus.bus.BusConnection(arguments.login1_bus)
    fake = dbus.Interface(login1.get_object("org.freedesktop.login1",
                                            "/com/talverin/test/Control"),
                          "com.talverin.test.Login1Control")
    fresh_home(environment)
    agent = start_agent(arguments.agent, environment)
    try:
        wait_for(lambda: lines_containing(log_dir, ARRIVAL_ACCEPTED), "the start-up arrival stamp")
        time.sleep(1.0)  # the lock watch is set up by then; this is no start-up benchmark
        agent_latencies, curl_latencies = [], []
        for cycle in range(arguments.cycles):
            accepted_arrivals = lines_containing(log_dir, ARRIVAL_ACCEPTED)
            accepted_leavings = lines_containing(log_dir, LEAVING_ACCEPTED)
            control(arguments.control_port, "POST", "/requests/clear")
            fake.SetLockedHint(True)
            announced = int(fake.LastAnnouncement())
            by_agent = wait_for(
                lambda: first_request(arguments.control_port, LEAVING_PATH, serial, announced),
                f"the agent's leaving request in cycle {cycle}")
            by_curl = wait_for(
                lambda: first_request(arguments.control_port, LEAVING_PATH,
                                      arguments.curl_serial, announced),
                f"the script's leaving request in cycle {cycle}")
            agent_latencies.append(by_agent["receivedMicroseconds"] - announced)
            curl_latencies.append(by_curl["receivedMicroseconds"] - announced)
            # Settled before the unlock, whose resend scan would otherwise send it once more.
            wait_for(lambda: lines_containing(log_dir, LEAVING_ACCEPTED) > accepted_leavings,
                     "the leaving stamp's answer")
            fake.SetLockedHint(False)
            wait_for(lambda: lines_containing(log_dir, ARRIVAL_ACCEPTED) > accepted_arrivals,
                     "the arrival stamp after the unlock")
            time.sleep(arguments.pause)
        ending = end_agent(agent)
    finally:
        if agent.poll() is None:
            end_agent(agent)
    agent_summary = summary(agent_latencies)
    curl_summary = summary(curl_latencies)
    print(json.dumps({"benchmark": "lock to leaving request", "unit": "µs", "agent_exit": ending,
                      "agent": {**agent_summary, "all": agent_latencies},
                      "curl_script": {**curl_summary, "all": curl_latencies},
                      "median_ratio": curl_summary["median"] / agent_summary["median"]}))


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    start = commands.add_parser("start")
    lock = commands.add_parser("lock")
    for command in (start, lock):
        command.add_argument("--agent", required=True)
        command.add_argument("--env", required=True)
        command.add_argument("--control-port", type=int, required=True)
    start.add_argument("--runs", type=int, default=11)
    start.add_argument("--floor", action="store_true")
    lock.add_argument("--login1-bus", required=True)
    lock.add_argument("--curl-serial", required=True)
    lock.add_argument("--cycles", type=int, default=100)
    lock.add_argument("--pause", type=float, default=0.2,
                      help="seconds between a cycle's accepted arrival and the next lock")
    arguments = parser.parse_args()
    if arguments.command == "start":
        measure_start(arguments)
    else:
        measure_lock(arguments)


if __name__ == "__main__":
    main()
