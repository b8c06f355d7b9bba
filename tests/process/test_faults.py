"""Faults of the store and the log, and SIGKILLs at random moments amid a failing service: no stored
stamp is ever lost, and the stamps reach the service with their own times once the fault is over.
The kill campaign makes TALVERIN_KILLS kills (30; 100 for a longer one), and TALVERIN_FAULT_SEED
replays one."""

import os
import random
import signal
import time
from pathlib import Path

import pytest

from conftest import ARRIVAL, LABEL, LEAVING, SOURCE, wait_until

DISK_FAULTS = SOURCE / "tests/support/with-mounts.sh"  # each fault's variables name the folder
READ_ONLY, FULL = ["TALVERIN_READ_ONLY_FOLDER"], ["TALVERIN_SMALL_DISK_FOLDER",
                                                   "TALVERIN_SMALL_DISK_FULL"]
EARLIER = {"開始時の打刻_20240401083005": "20240401083005",
           "終了時の打刻_20240401183005": "20240401183005"}


@pytest.mark.parametrize("fault", ["damaged", "not-a-database", "read-only-folder", "full-disk"])
def test_a_store_that_cannot_be_used_is_left_alone_reported_once_and_stamps_still_go(bed, fault):
    # The faults the store's folder meets; with none, the file itself is the fault.
    faults = {"read-only-folder": READ_ONLY, "full-disk": FULL}.get(fault, [])
    if fault == "damaged":  # pages in the middle of a sound store overwritten
        bed.seed({**EARLIER, **{f"x{n}": "y" * 200 for n in range(200)}})
        data = bytearray(bed.store.read_bytes())
        data[4096 + 8:3 * 4096] = b"\x5a" * (2 * 4096 - 8)
        bed.store.write_bytes(data)
    elif fault == "not-a-database":
        bed.store.parent.mkdir(parents=True)
        bed.store.write_text("someone's notes\n")
    else:
        bed.seed(EARLIER)
    before = bed.store.read_bytes()
    agent = bed.start_agent(prefix=[DISK_FAULTS], **dict.fromkeys(faults, bed.store.parent))
    agent.wait_line(f"{bed.store}: ")
    bed.service.wait_requests(ARRIVAL)
    bed.logind("SetLockedHint", True)
    bed.logind("SetLockedHint", False)  # back, so that the quit has a day's end to stamp
    agent.wait_line("setUnset: " + LABEL[ARRIVAL], 2)  # its own (resends are requests too)

    def sent():  # the run's own stamps accepted, each once (a same-second pair shares one key)
        return sorted(r["path"] for r in bed.service.accepted() if r["tim"] not in EARLIER.values())

    wait_until(lambda: len(sent()) == 3)
    assert open(f"/proc/{agent.process.pid}/root{bed.store}", "rb").read() == before
    assert agent.stop() == 0
    assert sent() == [ARRIVAL, ARRIVAL, LEAVING, LEAVING] and len(agent.fresh_keys()) == 4
    assert sum(line.startswith("defaults store ") for line in agent.lines()) == 1
    assert sum(str(bed.store) in line for line in bed.log()) == 1
    assert bed.store.read_bytes() == before  # untouched: the next run finds it as it was


@pytest.mark.parametrize("faults", [READ_ONLY, FULL], ids=["read-only", "full"])
def test_stamping_goes_on_when_no_log_line_can_be_written(bed, faults):
    logs = bed.home / "Library/Logs"
    logs.mkdir(parents=True)
    agent = bed.start_agent(prefix=[DISK_FAULTS], **dict.fromkeys(faults, logs))
    bed.service.wait_requests(ARRIVAL)
    # The folder as the agent has it (its mounts are its own): the start-up's lines went nowhere.
    seen = Path(f"/proc/{agent.process.pid}/root{logs}")
    assert sum(log.stat().st_size for log in seen.glob("*.log")) == 0
    assert agent.stop() == 0
    bed.service.wait_requests(LEAVING)
    bed.wait_records(0)


KILLS = int(os.environ.get("TALVERIN_KILLS", "30"))


def service_mood(rng):
    return rng.choice([dict(delayMs=rng.randrange(300))] * 11 + [
        dict(status=500, body="busy")] * 3 + [dict(action="reset")] * 2 + [
        dict(action="reset", body='{"result":"ok"}', afterBytes=45)] * 2 + [
        dict(action="silence")] * 2)


def test_kills_amid_locks_unlocks_and_quits_with_a_failing_service_lose_no_stored_stamp(bed):
    seed = int(os.environ.get("TALVERIN_FAULT_SEED") or random.SystemRandom().randrange(2**32))
    print(f"TALVERIN_FAULT_SEED={seed}")
    rng = random.Random(seed)
    # This build's time to its first stamp (longer under a sanitizer): kills are spread around it.
    began = time.monotonic()
    agent = bed.start_agent()
    agent.wait_line("setUnset: ")
    first_stamp = time.monotonic() - began
    agent.stop()
    stored, maybe_unwritten = set(agent.fresh_keys()), set()

    kills = runs = 0
    while kills < KILLS:
        runs += 1
        bed.service.post("/behaviour/reset")
        bed.service.react(ARRIVAL, **service_mood(rng))
        bed.service.react(LEAVING, **service_mood(rng))
        agent = bed.start_agent()
        kill_at = time.monotonic() + rng.uniform(first_stamp / 2, first_stamp + 0.7)
        while agent.running() and time.monotonic() < kill_at:
            time.sleep(rng.uniform(0.005, 0.08))  # the campaign's random schedule
            event = rng.randrange(100)  # a lock, an unlock, now and then a quit
            bed.logind("SetLockedHint", event < 45) if event < 96 else agent.signal(signal.SIGTERM)
        killed = agent.running()
        agent.signal(signal.SIGKILL)
        agent.wait(90)
        kills += killed
        printed, records = agent.fresh_keys(), bed.records()
        # A kill between a record's console line and its write may lose that one record only;
        # once in the store it is owed like any other.
        maybe_unwritten |= {key for key in printed[-1:] if killed and key not in records}
        stored |= set(printed)
        assert all(value == key.split("_", 1)[1] for key, value in records.items())

    # The fault is over: the next fresh arrival brings everything, each with its own time.
    bed.service.post("/behaviour/reset")
    bed.logind("SetLockedHint", False)
    agent = bed.started_agent()
    bed.wait_records(0, timeout=120)
    assert agent.stop() == 0
    lost = [key for key in stored - maybe_unwritten if not bed.service.delivered(key)]
    print(f"{kills} kills in {runs} runs, {len(stored)} stored stamps")  # shown on failure
    assert lost == [], f"seed {seed}"
    assert len(stored) > KILLS // 4
