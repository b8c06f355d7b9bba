"""The built agent on a private desktop: start-up, quit, screen events, the network, commands."""

import contextlib
import os
import signal

import dbus
import pytest

from conftest import ARRIVAL, LABEL, LEAVING, SERIAL, Bed, StampService, wait_until

AUTOSTART = ".config/autostart/com.talverin.Timestamp.desktop"
ARRIVES, LEAVES = LABEL[ARRIVAL], LABEL[LEAVING]


def test_the_agent_starts_once_with_one_arrival_and_launch_at_login_and_obeys_commands(bed):
    agent = bed.started_agent(QT_QPA_PLATFORM=None)  # no display at all, as on a headless machine
    (arrival,) = bed.service.requests(ARRIVAL)
    assert [v for n, v in arrival["headers"] if n.lower() == "x-osx-number"] == [SERIAL]
    assert (bed.home / AUTOSTART).exists()
    wait_until(lambda: "自動起動の設定：true" in bed.log())  # the daily log, in this HOME
    second = bed.start_agent(QT_QPA_PLATFORM=None)  # says one is running, and touches nothing
    assert second.wait() == 0 and second.lines() == ["TALVERIN Timestamp is already running."]
    assert len(bed.service.requests(ARRIVAL)) == 1
    # The session bus's commands; the stamping ones are used by the tests below.
    bed.command("automaticLaunchManual")
    wait_until(lambda: not (bed.home / AUTOSTART).exists(), what="entry removed")
    bed.command("quit")
    bed.service.wait_requests(LEAVING)
    assert agent.wait() == 0
    bed.wait_records(0)
    # Quiet: no toolkit warnings on the console, only the command's alert, and no tray tried.
    assert agent.stderr() == "alert: 自動起動の設定：false\n"
    assert not [line for line in bed.log() if line.startswith("Qt: ")]


@pytest.mark.parametrize("arguments, env, status, out, err", [
    (["--help"], {}, 0, "Usage: talverin-", ""), (["-v"], {}, 0, "talverin-timestamp 1.", ""),
    (["--stamp-twice"], {}, 2, "", "option 'stamp-twice'."), (["extra"], {}, 2, "", "Usage:"),
    ([], {"TALVERIN_SERVICE_ORIGIN": "http://talverin.example"}, 2, "", "http://talverin.ex"),
    # A session saved by an earlier agent restarts it with the toolkit's own options.
    (["-session", "10c0ffee_1712", "-name", "TALVERIN Timestamp", "-v"], {}, 0, "talverin-", ""),
    (["--display", ":9", "-reverse", "-style=Fusion", "-qmljsdebugger", "port:1", "-v"], {}, 0,
     "talverin-", ""),
    (["-v", "-session"], {}, 2, "", "Unknown option 'session'."),
], ids=["help", "version", "unknown-option", "argument", "origin-not-https", "restored-session",
        "toolkit-options", "toolkit-option-without-value"])
def test_the_agent_answers_or_refuses_touching_nothing(bed, arguments, env, status, out, err):
    agent = bed.start_agent(*arguments, **env)
    assert agent.wait() == status
    assert out in agent.stdout() and (out or agent.stdout() == "")
    assert err in agent.stderr() and (err or agent.stderr() == "")
    assert os.listdir(bed.home) == [] and bed.service.requests() == []


@pytest.mark.parametrize("first, second", [
    (signal.SIGTERM, signal.SIGTERM), (signal.SIGTERM, signal.SIGINT),
    (signal.SIGTERM, signal.SIGHUP), (signal.SIGHUP, signal.SIGTERM),
], ids=["apart", "back-to-back", "scope-stop", "scope-stop-hang-up-first"])
def test_a_quit_waits_for_the_leaving_answer_and_a_second_ends_it_at_once(bed, first, second):
    agent = bed.started_agent()
    # A hang-up and SIGTERM (systemd stopping a scope) are one stop: it waits for the answer,
    # which comes a second later.
    hang_up = signal.SIGHUP in (first, second)
    bed.service.react(LEAVING, **({"delayMs": 1000} if hang_up else {"action": "silence"}))
    agent.signal(first)
    if second != signal.SIGINT:  # held first: signals sent together reach its threads in any order
        bed.service.wait_requests(LEAVING)
    agent.signal(second)  # back to back, both reach the agent: two kinds are never merged
    assert agent.wait() == 0
    asked = [line.split(": ")[1] for line in agent.lines()
             if line.startswith("applicationShouldTerminate")]
    if hang_up:  # one request, answered before the end, and only once
        assert asked == ["false"] and bed.records() == {}
        assert [r["action"] for r in bed.service.requests(LEAVING)] == ["answer 200"]
    else:  # the second request found the first one held; one not held would have ended at once
        assert asked == ["false", "true"]
        assert [key.split("_")[0] for key in bed.records()] == ["終了時の打刻"]


def test_each_screen_source_reports_locks_and_unlocks_and_forged_signals_none(bed):
    agent = bed.started_agent()
    # Each source alone, both ways. A forged signal (from any other client of the bus) heard would
    # change the state, and the real step after it, which tells nothing new, would then stamp.
    steps = [(True, "logind"), (False, "forged"), (True, "gnome"), (False, "gnome"),
             (True, "forged"), (False, "xfce"), (True, "gnome"), (False, "freedesktop"),
             (True, "freedesktop"), (False, "xfce"), (True, "xfce"), (False, "logind")]
    for number, (locked, source) in enumerate(steps, start=1):
        if source == "logind":
            bed.logind("SetLockedHint", locked)
        for name in Bed.SCREENSAVERS:
            if source in (name.split(".")[1], "forged"):
                bed.screensaver(name, locked, forged=source == "forged")
        # A barrier on each bus, so that no echo of this step comes after the next one.
        bed.logind("Emit", "PrepareForShutdown", False)
        bed.command("automaticLaunchWithManualSetting", False, signature="b")
        agent.wait_line("powerOffCancelled", number)
        wait_until(lambda: bed.log().count("自動起動の設定：true") > number)
    assert [key[:6] for key in agent.fresh_keys()] == [ARRIVES] + [LEAVES, ARRIVES] * 4


# Found by "auto" in the test above; here by the other ways.
@pytest.mark.parametrize("logind_options, env", [
    (("--no-auto",), {}), (("--no-auto", "--no-pid"), {"XDG_SESSION_ID": "c2"}),
    (("--locked-hint",), {}),
], ids=["by-pid", "by-session-id", "starts-locked"])
def test_the_session_is_found_and_its_lock_state_followed(make_bed, logind_options, env):
    bed = make_bed(logind_options)
    agent = bed.started_agent(**env)
    bed.logind("SetLockedHint", True)
    bed.logind("SetLockedHint", False)
    agent.wait_line("setUnset: " + ARRIVES, 2)
    leaving = [] if "--locked-hint" in logind_options else [LEAVES]  # none while locked already
    assert [key[:6] for key in agent.fresh_keys()] == [ARRIVES, *leaving, ARRIVES]


def test_a_stored_stamp_goes_out_each_time_the_system_reports_the_network_back(make_bed):
    bed = make_bed(("--network-state", "70"))
    agent = bed.started_agent()
    bed.logind("SetNetworkState", 20)  # offline: the service cannot be reached either
    bed.service.child.stop()
    bed.logind("SetLockedHint", True)
    bed.wait_records(1)
    (key,) = bed.records()
    lost = "サーバに接続ができなかった"
    wait_until(lambda: sum(lost in line for line in bed.log()) == 1)
    bed.logind("SetNetworkState", 70)  # no unlock, no timer: the report alone sends it
    wait_until(lambda: sum(lost in line for line in bed.log()) == 2)  # the service still down
    bed.service = StampService(bed, port=bed.service.port)  # back: the next report sends it
    bed.logind("SetNetworkState", 20)
    bed.logind("SetNetworkState", 70)
    bed.wait_records(0)
    assert [r["tim"] for r in bed.service.requests(LEAVING)] == [key.split("_")[1]]
    assert [line for line in bed.log() if "ネットワーク" in line] == [
        "ネットワークへの接続が回復したため、未送信の打刻を送信します：1件"] * 2
    assert agent.running() and sum(lost in line for line in bed.log()) == 2  # one try a report


@pytest.mark.parametrize("key, stored, sent", [
    ("終了時の打刻_20240401183005", True, True),
    ("終了時の打刻_20240401183006", False, False),
    ("開始時の打刻_20240401083005", True, False),
    ("", False, False), ("終" * 100, False, False),  # logged cut between characters
], ids=["stored-leaving", "unknown", "arrival", "empty", "long"])
def test_leave_with_unsent_key_sends_only_a_stored_leaving_record(bed, key, stored, sent):
    bed.started_agent()
    bed.seed({key: key.split("_")[-1]} if stored else {})
    with contextlib.nullcontext() if sent else pytest.raises(dbus.DBusException) as refusal:
        bed.command("leaveWithUnSentKey", key, signature="s")
    if not sent:  # then leaveNow is the barrier: whatever the refused call did came before it
        assert refusal.value.get_dbus_name() == "org.freedesktop.DBus.Error.InvalidArgs"
        bed.command("leaveNow")
    # A stored arrival may go out as what it is, with the start-up arrival's resend scan, which
    # can still be running when it is seeded; never as a leaving stamp.
    (leaving,) = bed.service.wait_requests(LEAVING)
    assert (leaving["tim"] == key[-14:]) == sent
    wait_until(lambda: not [k for k in bed.records() if k.startswith(LEAVES)])  # answered
    assert len(bed.service.requests(LEAVING)) == 1
    assert sum("leaveWithUnSentKey" in line for line in bed.log()) == (not sent)
