"""Faults of the service, the store and the log: no stored stamp is ever lost, a held quit still
ends, and the stamps reach the service with their own times once the fault is over."""

import base64
import os
import signal

import pytest

from conftest import ARRIVAL, LEAVING, SOURCE, wait_until

DISK_FAULTS = SOURCE / "tests/support/with-mounts.sh"
OK_BODY = '{"result":"ok"}'
REACTIONS = {
    "refused": None,
    "reset": dict(action="reset"),
    "reset-inside-answer": dict(action="reset", body=OK_BODY, afterBytes=45),
    "silent": dict(action="silence"),
    "500": dict(status=500, body="maintenance"),
    "404": dict(status=404, body="no such page"),
    "empty-502": dict(status=502, body=""),
    "not-utf8": dict(status=503, bodyBase64=base64.b64encode(b"\xff\xfe\x80").decode()),
    "oversized": dict(status=500, body="x" * 1024, repeat=3 * 1024),
    "redirect": dict(action="redirect", location="/api/osx/v1/stamp/arrival?tim=1"),
    "untrusted": "untrusted",
    "other-host": "otherhost",
}


@pytest.mark.parametrize("name", REACTIONS)
def test_a_failing_service_keeps_the_records_ends_the_quit_and_gets_them_later(make_bed, name):
    bed, reaction = make_bed(), REACTIONS[name]
    if reaction is None:
        bed.service.child.stop()
    elif isinstance(reaction, str):
        bed.restart_service(cert=reaction)
    else:
        for path in (ARRIVAL, LEAVING):
            bed.service.react(path, **reaction)
    agent = bed.start_agent()
    agent.wait_line("call 開始時の打刻")
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit(timeout=90) == 0
    records = bed.records()
    assert sorted(key.split("_")[0] for key in records) == ["終了時の打刻", "開始時の打刻"]
    if reaction is not None and not isinstance(reaction, str):
        assert bed.service.accepted() == []
        assert {r["tim"] for r in bed.service.requests()} == set(records.values())
    bed.restart_service()
    bed.started_agent()
    bed.wait_records(0)
    assert [key for key in records if not bed.service.delivered(key)] == []


EARLIER = {"開始時の打刻_20240401083005": "20240401083005",
           "終了時の打刻_20240401183005": "20240401183005"}


def damage(store):  # pages in the middle of a sound store overwritten
    data = bytearray(store.read_bytes())
    data[4096 + 8:3 * 4096] = b"\x5a" * (2 * 4096 - 8)
    store.write_bytes(data)


# What is done to the store, and the faults its folder meets (none: the file itself is the fault).
STORE_FAULTS = {
    "damaged": (lambda bed: bed.seed({**EARLIER, **{f"x{n}": "y" * 200 for n in range(200)}})
                or damage(bed.store), {}),
    "not-a-database": (lambda bed: bed.store.parent.mkdir(parents=True)
                       or bed.store.write_text("someone's notes\n"), {}),
    "read-only-folder": (lambda bed: bed.seed(EARLIER), {"TALVERIN_READ_ONLY_FOLDER": 1}),
    "full-disk": (lambda bed: bed.seed(EARLIER),
                  {"TALVERIN_SMALL_DISK_FOLDER": 1, "TALVERIN_SMALL_DISK_FULL": 1}),
}


@pytest.mark.parametrize("fault", STORE_FAULTS)
def test_a_store_that_cannot_be_used_is_left_alone_reported_once_and_stamps_still_go(bed, fault):
    prepare, faults = STORE_FAULTS[fault]
    prepare(bed)
    before = bed.store.read_bytes()
    agent = bed.start_agent(prefix=[DISK_FAULTS], **{name: bed.store.parent if value == 1 and
                                                     "FOLDER" in name else value
                                                     for name, value in faults.items()})
    agent.wait_line(f"{bed.store}: ")
    bed.service.wait_requests(ARRIVAL)
    bed.logind("SetLockedHint", True)
    bed.service.wait_requests(LEAVING)
    assert open(f"/proc/{agent.process.pid}/root{bed.store}", "rb").read() == before
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit() == 0
    assert len(agent.fresh_keys()) == 3
    assert [key for key in agent.fresh_keys() if not bed.service.delivered(key)] == []
    assert sum(line.startswith("defaults store ") for line in agent.lines()) == 1
    assert sum(str(bed.store) in line for line in bed.log()) == 1
    assert bed.store.read_bytes() == before
    if faults:  # the fault is over: the earlier stamps arrive with the next run
        bed.started_agent()
        bed.wait_records(0)
        assert all(bed.service.delivered(key) for key in EARLIER)


@pytest.mark.parametrize("faults", [
    lambda logs: dict(TALVERIN_READ_ONLY_FOLDER=logs),
    lambda logs: dict(TALVERIN_SMALL_DISK_FOLDER=logs, TALVERIN_SMALL_DISK_FULL=1),
], ids=["read-only", "full"])
def test_stamping_goes_on_when_no_log_line_can_be_written(bed, faults):
    logs = bed.home / "Library/Logs"
    logs.mkdir(parents=True)
    agent = bed.start_agent(prefix=[DISK_FAULTS], **faults(logs))
    bed.service.wait_requests(ARRIVAL)
    agent.signal(signal.SIGTERM)
    bed.service.wait_requests(LEAVING)
    assert agent.wait_exit() == 0
    bed.wait_records(0)
    assert os.listdir(logs) == []


def test_three_hundred_stored_records_all_arrive_with_their_own_times(bed):
    times = [f"202404{n // 24 + 1:02}{n % 24:02}{n % 60:02}05" for n in range(300)]
    stored = {f"{'開始' if n % 2 else '終了'}時の打刻_{tim}": tim for n, tim in enumerate(times)}
    bed.seed(stored)
    bed.started_agent()
    bed.wait_records(0, timeout=120)
    assert [key for key in stored if not bed.service.delivered(key)] == []
