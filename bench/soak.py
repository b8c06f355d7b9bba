#!/usr/bin/python3
"""A soak of random working days against the built agent, for stalls after an accepted stamp.

  soak.py [--seeds N] [--first S] [--events 60] [--seconds 90] [--out DIR] [--lock-holder]

The agent and stamp service are those of TALVERIN_BUILD_DIR (default: build/).

Each seed plays one day on the process test bed (tests/process/conftest.py): locks and unlocks
from logind and the screensavers, suspends, service outages and SIGKILLs, then, with the service
up, one lock and a final unlock on the agent started after the last kill. Meanwhile a reader polls
the store every 50 ms on a read-only connection of its own (kept open on odd seeds, opened for
each poll on even ones), as any tool may; with --lock-holder another program also holds the
store's write lock for 1 to 8 s now and then. For each stamp the service accepts from the running
agent, the time from the answer to the agent's success line in the log is measured; one not seen
within 5 s has every thread's stack (gdb) and the store's file locks written to DIR. Prints a line
per seed, then the longest answer-to-success time over all of them.
"""

import argparse
import json
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/process"))
from conftest import ARRIVAL, LEAVING, SOURCE, Bed, StampService, wait_until  # noqa: E402

SUCCESS = {ARRIVAL: "開始時の打刻に成功しました:", LEAVING: "終了時の打刻に成功しました:"}
STALL = 5.0


def connections(service):
    """How many connections the service has taken so far (0 when it is down)."""
    try:
        with urllib.request.urlopen(service.control + "/connections", timeout=10) as answer:
            return json.load(answer)["connections"]
    except OSError:
        return 0


class Watch(threading.Thread):
    """Pairs the running agent's accepted answers with its success lines, kind by kind, in order."""

    def __init__(self, bed, out, seed):
        super().__init__(daemon=True)
        self.bed, self.out, self.seed, self.lock = bed, out, seed, threading.RLock()
        self.latencies, self.stalls, self.done = [], [], False

    def follow(self, agent):
        """From now on the answers on connections the service takes are this agent's."""
        with self.lock:
            self.agent, self.captured = agent, False
            self.base = {self.bed.service: connections(self.bed.service)}
            self.answers = {}  # by service: the times of the agent's accepted answers, by kind
            self.logged = {path: self.successes(path) for path in SUCCESS}
            self.matched = {path: 0 for path in SUCCESS}

    def successes(self, path):
        return sum(SUCCESS[path] in line for line in self.bed.log()) if (
            self.bed.home / "Library/Logs").exists() else 0

    def poll(self):
        service, now = self.bed.service, time.time()
        base = self.base.setdefault(service, 0)  # a service started since serves this agent
        try:
            self.answers[service] = [(r["path"], r["receivedMicroseconds"] / 1e6)
                                         for r in service.accepted() if r["connection"] > base]
        except OSError:  # down for an outage
            pass
        for path in SUCCESS:
            answered = sorted(t for found in self.answers.values() for p, t in found if p == path)
            logged = self.successes(path) - self.logged[path]
            while self.matched[path] < min(logged, len(answered)):
                self.latencies.append(now - answered[self.matched[path]])
                self.matched[path] += 1
            waiting = answered[self.matched[path]:]
            if waiting and now - waiting[0] > STALL and not self.captured and self.agent.running():
                self.captured = True
                self.stalls.append(self.capture(path, now - waiting[0]))

    def capture(self, path, late):
        name = self.out / f"seed-{self.seed}-stall-{len(self.stalls)}.txt"
        stacks = subprocess.run(["gdb", "-p", str(self.agent.process.pid), "-batch", "-ex",
                                 "thread apply all bt"], capture_output=True, text=True,
                                timeout=120).stdout
        inodes = {str(f.stat().st_ino) for f in self.bed.store.parent.glob("*")}
        locks = [line for line in Path("/proc/locks").read_text().splitlines()
                 if any(w.count(":") == 2 and w.rsplit(":", 1)[1] in inodes for w in line.split())]
        name.write_text(f"{path} answered {late:.1f} s ago, not logged\n--- locks\n"
                        + "\n".join(locks) + "\n--- stacks\n" + stacks + "\n--- console\n"
                        + self.agent.stdout())
        return name

    def run(self):
        while not self.done:
            with self.lock:
                self.poll()
            time.sleep(0.05)


def reader(bed, keep_open, stop):
    """Polls the store as a tool would: its longest single read, in seconds."""
    longest, db = 0.0, None
    while not stop.is_set():
        began = time.monotonic()
        try:
            if bed.store.exists():
                db = db if keep_open and db else sqlite3.connect(f"file:{bed.store}?mode=ro",
                                                                 uri=True, timeout=10)
                db.execute("SELECT key, value FROM defaults").fetchall()
                if not keep_open:
                    db = db.close()
        except sqlite3.Error:
            pass
        longest = max(longest, time.monotonic() - began)
        time.sleep(0.05)
    return longest


def lock_holder(bed, rng, stop):
    """Another program writing to the store now and then: it holds the write lock for seconds."""
    while not stop.wait(rng.uniform(1, 5)):
        try:
            db = sqlite3.connect(bed.store, timeout=1, isolation_level=None)
            db.execute("BEGIN IMMEDIATE")
            stop.wait(rng.uniform(1, 8))
            db.close()  # rolls back
        except sqlite3.Error:
            pass


def day(seed, args, certs):
    rng, folder = random.Random(seed), Path(tempfile.mkdtemp(prefix=f"soak-{seed}-", dir=args.out))
    bed = Bed(folder, certs)
    watch, stop, longest_read = Watch(bed, args.out, seed), threading.Event(), []
    agent = bed.start_agent()
    watch.follow(agent)
    watch.start()
    threading.Thread(target=lambda: longest_read.append(reader(bed, seed % 2, stop)),
                     daemon=True).start()
    if args.lock_holder:
        threading.Thread(target=lock_holder, args=(bed, random.Random(-seed), stop),
                         daemon=True).start()
    asleep, down, kills = False, False, 0
    end = time.monotonic() + args.seconds
    for _ in range(args.events):
        time.sleep(max(0.0, min(rng.expovariate(args.events / args.seconds), end - time.monotonic())))
        event = rng.randrange(100)
        with watch.lock:
            if event < 30:
                bed.logind("SetLockedHint", rng.random() < 0.5)
            elif event < 50:
                bed.screensaver(rng.choice(Bed.SCREENSAVERS), rng.random() < 0.5)
            elif event < 62:
                asleep = not asleep
                bed.logind("Emit", "PrepareForSleep", asleep)
            elif event < 80:
                down = not down
                if down and rng.random() < 0.4:
                    bed.service.child.stop()
                elif down:
                    for path in SUCCESS:
                        bed.service.react(path, **rng.choice([dict(status=500, body="busy"),
                                                              dict(action="reset")]))
                else:
                    restore(bed)
            else:  # a SIGKILL, often in the middle of a stamp
                time.sleep(rng.uniform(0, 0.3))
                agent.signal(signal.SIGKILL)
                agent.wait()
                kills += 1
                agent = bed.start_agent()
                watch.follow(agent)
    # The end of the day: the service up and the machine awake, a lock, then the final unlock.
    with watch.lock:
        restore(bed)
        if asleep:
            bed.logind("Emit", "PrepareForSleep", False)
    for active in (True, False):
        bed.logind("SetLockedHint", active)
        for name in Bed.SCREENSAVERS:
            bed.screensaver(name, active)
        time.sleep(1.0)
    try:
        wait_until(lambda: not bed.records(), 30, "an empty store")
        ended = "empty store"
    except AssertionError:
        ended = f"{len(bed.records())} record(s) left"
    time.sleep(STALL + 0.5)  # the watch sees any late outcome
    watch.done = True
    stop.set()
    agent.stop()
    for child in reversed(bed.children):
        child.stop()
    watch.join()
    return dict(seed=seed, kills=kills, outcomes=len(watch.latencies), ended=ended,
                longest=max(watch.latencies, default=0.0), stalls=watch.stalls,
                longest_read=max(longest_read, default=0.0))


def restore(bed):
    """The service up, answering every stamp with 200."""
    if bed.service.child.running():
        bed.service.post("/behaviour/reset")
    else:
        bed.service = StampService(bed, port=bed.service.port)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--events", type=int, default=60)
    parser.add_argument("--seconds", type=float, default=90.0)
    parser.add_argument("--out", type=Path, default=Path(tempfile.gettempdir()))
    parser.add_argument("--lock-holder", action="store_true",
                        help="another program holds the store's write lock for 1-8 s now and then")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    certs = Path(tempfile.mkdtemp(prefix="soak-certs-", dir=args.out))
    subprocess.run([SOURCE / "tools/stamp-service/make-ca.sh", certs], check=True,
                   stdout=subprocess.DEVNULL)
    results = []
    for seed in range(args.first, args.first + args.seeds):
        results.append(day(seed, args, certs))
        r = results[-1]
        print(f"seed {seed}: {r['kills']} kills, {r['outcomes']} outcomes, longest answer to "
              f"success {r['longest']:.3f} s, longest read {r['longest_read']:.3f} s, "
              f"{r['ended']}, stalls {[str(s) for s in r['stalls']]}", flush=True)
    print(f"{len(results)} runs, longest answer to success "
          f"{max(r['longest'] for r in results):.3f} s, "
          f"{sum(len(r['stalls']) for r in results)} stall(s)")


if __name__ == "__main__":
    main()
