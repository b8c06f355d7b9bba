"""What the agent benchmarks' drivers share: the stamp service's control port, the agent's
environment and log, and ending the agent by its process id."""

import ctypes
import json
import math
import os
import signal
import subprocess
import urllib.request

ARRIVAL_ACCEPTED = "開始時の打刻に成功しました"


def arrival_accepted(log_dir):
    try:
        names = os.listdir(log_dir)
    except FileNotFoundError:
        return False
    for name in names:
        with open(os.path.join(log_dir, name), encoding="utf-8", errors="replace") as log:
            if ARRIVAL_ACCEPTED in log.read():
                return True
    return False


def lines_containing(log_dir, text):
    count = 0
    for name in os.listdir(log_dir) if os.path.isdir(log_dir) else []:
        with open(os.path.join(log_dir, name), encoding="utf-8", errors="replace") as log:
            count += sum(1 for line in log if text in line)
    return count


def control(port, method, path):
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method, data=None)
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.read().decode("utf-8")


def environment_from(file):
    environment = {}
    with open(file) as lines:
        for line in lines:
            name, _, value = line.rstrip("\n").partition("=")
            if name:
                environment[name] = value
    return environment


def die_with_sampler():
    # Should the sampler itself be killed, the agent goes with it instead of running on unseen.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def end_agent(agent):
    if agent.poll() is not None:
        return "exited before it was asked to"
    os.kill(agent.pid, signal.SIGTERM)
    try:
        agent.wait(timeout=20)
        return f"exit {agent.returncode} after SIGTERM"
    except subprocess.TimeoutExpired:
        os.kill(agent.pid, signal.SIGKILL)
        agent.wait()
        return "killed after SIGTERM went unanswered for 20 s"


def service_requests(port):
    """Every request the stamp service received since its log was last cleared."""
    return [json.loads(line) for line in control(port, "GET", "/requests").splitlines() if line]


def header(request, name):
    for header_name, value in request["headers"]:
        if header_name.lower() == name.lower():
            return value
    return None


def nearest_rank(values, fraction):
    """The value at that fraction of the sorted values, by the nearest-rank method."""
    ordered = sorted(values)
    rank = math.ceil(len(ordered) * fraction)
    return ordered[min(len(ordered), max(1, rank)) - 1]
