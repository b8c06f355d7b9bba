"""The built agent on a private desktop: start-up, quit, screen events, power-off, commands."""

import os
import signal

import dbus
import pytest

from conftest import ARRIVAL, LEAVING, SERIAL, Bed, StampService, wait_until

AUTOSTART = ".config/autostart/com.talverin.Timestamp.desktop"


def test_start_sends_one_arrival_with_the_serial_logs_and_switches_launch_at_login_on(bed):
    agent = bed.started_agent(QT_QPA_PLATFORM=None)  # no display at all, as on a headless machine
    (arrival,) = bed.service.requests(ARRIVAL)
    assert [v for n, v in arrival["headers"] if n.lower() == "x-osx-number"] == [SERIAL]
    assert arrival["tim"].isdigit() and len(arrival["tim"]) == 14
    assert (bed.home / AUTOSTART).exists()
    bed.wait_records(0)
    wait_until(lambda: "自動起動の設定：true" in bed.log())  # the daily log, in this HOME
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit() == 0
    assert agent.stderr() == ""  # a quiet start: no toolkit warnings on the console,
    assert not [line for line in bed.log() if line.startswith("Qt: ")]  # nor a tray tried


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
def test_the_agent_answers_or_refuses_without_touching_anything(bed, arguments, env, status, out,
                                                                  err):
    agent = bed.start_agent(*arguments, **env)
    assert agent.wait_exit() == status
    assert out in agent.stdout() and (out or agent.stdout() == "")
    assert err in agent.stderr() and (err or agent.stderr() == "")
    assert os.listdir(bed.home) == [] and bed.service.requests() == []


@pytest.mark.parametrize("first, second", [
    (signal.SIGTERM, signal.SIGTERM), (signal.SIGTERM, signal.SIGINT),
    (signal.SIGTERM, signal.SIGHUP), (signal.SIGHUP, signal.SIGTERM),
], ids=["apart", "back-to-back", "scope-stop", "scope-stop-hang-up-first"])
def test_a_quit_waits_for_the_leaving_answer_and_a_second_request_ends_it_at_once(bed, first,
                                                                                  second):
    agent = bed.started_agent()
    # A hang-up and SIGTERM (systemd stopping a scope) are one stop: it waits for the answer,
    # which comes a second later.
    hang_up = signal.SIGHUP in (first, second)
    bed.service.react(LEAVING, **({"delayMs": 1000} if hang_up else {"action": "silence"}))
    agent.signal(first)
    if second != signal.SIGINT:  # held first: signals sent together reach its threads in any order
        bed.service.wait_requests(LEAVING)
    agent.signal(second)  # back to back, both reach the agent: two kinds are never merged
    assert agent.wait_exit() == 0
    asked = [line.split(": ")[1] for line in agent.lines()
             if line.startswith("applicationShouldTerminate")]
    if hang_up:  # one request, answered before the end, and only once
        assert asked == ["false"] and bed.records() == {}
        assert [r["action"] for r in bed.service.requests(LEAVING)] == ["answer 200"]
    else:  # the second request found the first one held; one not held would have ended at once
        assert asked == ["false", "true"]
        assert [key.split("_")[0] for key in bed.records()] == ["終了時の打刻"]


def test_a_stamp_killed_in_flight_is_sent_with_its_own_time_after_a_restart(bed):
    agent = bed.started_agent()
    bed.service.react(LEAVING, action="silence")
    bed.logind("SetLockedHint", True)
    (leaving,) = bed.service.wait_requests(LEAVING)
    agent.signal(signal.SIGKILL)
    agent.wait()
    bed.restart_service()
    bed.started_agent()
    wait_until(lambda: leaving["tim"] in [r["tim"] for r in bed.service.accepted(LEAVING)])
    bed.wait_records(0)


def test_a_second_agent_says_one_is_running_and_leaves_everything_alone(bed):
    bed.started_agent()
    second = bed.start_agent()
    assert second.wait_exit() == 0
    assert second.lines() == ["TALVERIN Timestamp is already running."]
    assert len(bed.service.requests(ARRIVAL)) == 1


def fresh_stamp(leaving):
    """The console line of a new stamp's record (a resend makes none)."""
    return "setUnset: " + ("終了時の打刻" if leaving else "開始時の打刻")


def fresh_stamps(agent):
    """Each new stamp in order: True for leaving."""
    return [line.startswith(fresh_stamp(True)) for line in agent.lines()
            if line.startswith("setUnset: ")]


def forge(bed, locked):  # any other client of the session bus: never a stamp
    for name in Bed.SCREENSAVERS:
        bed.screensaver(name, locked, forged=True)


SCREEN_SOURCES = {
    "logind": lambda bed, locked: bed.logind("SetLockedHint", locked),
    **{name.split(".")[1]: (lambda name: lambda bed, locked: bed.screensaver(name, locked))(name)
       for name in Bed.SCREENSAVERS},
    "forged": forge,
}


def test_each_real_lock_and_unlock_stamps_once_however_many_sources_report_it(bed):
    agent = bed.started_agent()
    # The sources agree, as on a real desktop; some report a change twice or report no change.
    steps = [(True, ["logind", "gnome", "freedesktop", "xfce"]),
             (False, ["logind", "gnome", "xfce", "freedesktop"]),
             (True, ["gnome", "logind"]), (True, ["xfce"]), (False, ["forged"]),
             (False, ["logind", "freedesktop"]), (False, ["gnome"]), (True, ["forged"])]
    for number, (locked, sources) in enumerate(steps, start=1):
        for source in sources:
            SCREEN_SOURCES[source](bed, locked)
        # A barrier on each bus, so that no echo of this step comes after the next one.
        bed.logind("EmitPrepareForShutdown", False)
        bed.command("automaticLaunchWithManualSetting", False, signature="b")
        agent.wait_line("powerOffCancelled", number)
        wait_until(lambda: bed.log().count("自動起動の設定：true") > number)
    bed.command("arriveNow")
    agent.wait_line(fresh_stamp(False), 4)
    assert fresh_stamps(agent) == [False, True, False, True, False, False]


@pytest.mark.parametrize("logind_options, env", [
    ((), {}),
    (("--no-auto",), {}),
    (("--no-auto", "--no-pid"), {"XDG_SESSION_ID": "c2"}),
    (("--locked-hint",), {}),
], ids=["auto", "by-pid", "by-session-id", "starts-locked"])
def test_the_session_is_found_and_its_lock_state_followed(make_bed, logind_options, env):
    bed = make_bed(logind_options)
    agent = bed.started_agent(**env)
    starts_locked = "--locked-hint" in logind_options
    bed.logind("SetLockedHint", True)
    bed.logind("SetLockedHint", False)
    agent.wait_line(fresh_stamp(False), 2)
    assert fresh_stamps(agent) == [False] + ([] if starts_locked else [True]) + [False]


@pytest.mark.parametrize("service", [{}, {"action": "silence"}],
                         ids=["then-the-system-quits", "unanswered-held-4s"])
def test_power_off_sends_one_leaving_stamp_under_the_delay_inhibitor(bed, service):
    agent = bed.started_agent()
    wait_until(lambda: bed.held("shutdown") == 1 and bed.held("sleep") == 1)
    bed.service.react(LEAVING, **service)
    bed.logind("EmitPrepareForShutdown", True)
    (leaving,) = bed.service.wait_requests(LEAVING)
    wait_until(lambda: bed.held("shutdown") == 0, 10, "the power-off to be let go")
    agent.signal(signal.SIGTERM)  # the system's own request ends it at once, with no second stamp
    assert agent.wait_exit() == 0
    assert len(bed.service.requests(LEAVING)) == 1
    assert list(bed.records().values()) == ([leaving["tim"]] if service else [])


@pytest.mark.parametrize("service_back", [True, False], ids=["service-back", "service-still-down"])
def test_a_stored_stamp_goes_out_when_the_system_reports_the_network_back(make_bed, service_back):
    bed = make_bed(("--network-state", "70"))
    agent = bed.started_agent()
    bed.logind("SetLockedHint", True)
    bed.service.wait_requests(LEAVING)
    bed.wait_records(0)
    bed.logind("SetNetworkState", 20)  # offline: the service cannot be reached either
    bed.service.child.stop()
    bed.logind("SetLockedHint", False)
    bed.wait_records(1)
    (key,) = bed.records()
    wait_until(lambda: sum("サーバに接続ができなかった" in line for line in bed.log()) == 1)
    if service_back:
        bed.service = StampService(bed, port=bed.service.port)
    bed.logind("SetNetworkState", 70)  # no unlock, no timer: the report alone sends it
    if service_back:
        bed.wait_records(0)
        assert [r["tim"] for r in bed.service.requests(ARRIVAL)] == [key.split("_")[1]]
    else:  # it failed once more, and stays for the next time
        wait_until(lambda: sum("サーバに接続ができなかった" in line for line in bed.log()) == 2)
        bed.command("automaticLaunchWithManualSetting", False, signature="b")  # a barrier
        wait_until(lambda: bed.log().count("自動起動の設定：true") == 2)
        assert sum("サーバに接続ができなかった" in line for line in bed.log()) == 2
        assert list(bed.records()) == [key]
    assert [line for line in bed.log() if "ネットワーク" in line] == [
        "ネットワークへの接続が回復したため、未送信の打刻を送信します：1件"]
    assert agent.running()


def test_commands_on_the_session_bus_do_their_work(bed):
    agent = bed.started_agent()
    bed.command("automaticLaunchManual")
    wait_until(lambda: not (bed.home / AUTOSTART).exists(), what="entry removed")
    bed.command("arriveNow")
    bed.service.wait_requests(ARRIVAL, 2)
    bed.command("leaveNow")
    bed.service.wait_requests(LEAVING, 1)
    bed.command("quit")
    bed.service.wait_requests(LEAVING, 2)
    assert agent.wait_exit() == 0
    bed.wait_records(0)


@pytest.mark.parametrize("key, stored, sent", [
    ("終了時の打刻_20240401183005", True, True),
    ("終了時の打刻_20240401183006", False, False),
    ("開始時の打刻_20240401083005", True, False),
    ("", False, False), ("終" * 100, False, False),  # logged cut between characters
], ids=["stored-leaving", "unknown", "arrival", "empty", "long"])
def test_leave_with_unsent_key_sends_only_a_stored_leaving_record(bed, key, stored, sent):
    bed.started_agent()
    bed.seed({key: key.split("_")[-1]} if stored else {})
    if sent:
        bed.command("leaveWithUnSentKey", key, signature="s")
        wait_until(lambda: bed.service.delivered(key))
        bed.wait_records(0)
        return
    with pytest.raises(dbus.DBusException) as refusal:
        bed.command("leaveWithUnSentKey", key, signature="s")
    assert refusal.value.get_dbus_name() == "org.freedesktop.DBus.Error.InvalidArgs"
    bed.command("leaveNow")  # the barrier: whatever the refused call did came before it
    bed.service.wait_requests(LEAVING)
    assert len(bed.service.requests(LEAVING)) == 1 and len(bed.service.requests(ARRIVAL)) == 1
    wait_until(lambda: bed.records() == ({key: key.split("_")[-1]} if stored else {}))
    assert sum("leaveWithUnSentKey" in line for line in bed.log()) == 1
