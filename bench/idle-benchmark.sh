#!/usr/bin/env bash
# What the agent costs while it waits: its memory, and whether it wakes up at all.
#
#   bench/idle-benchmark.sh [BUILD_DIR]      (default: build-bench beside this folder)
#   environment: SETTLE=5  IDLE=30  (seconds)
#
# The built agent runs with its tray icon on a private X server (Xvfb, 1280x800x24) whose tray
# host is trayer, on private session and system buses, against the local stamp service with a
# fresh CA. Once its start-up arrival stamp has been accepted and SETTLE seconds have passed, the
# script reads VmRSS and VmHWM, then counts the CPU clock ticks (utime + stime) and the context
# switches of every thread of the agent over IDLE seconds. An idle agent should use 0 ticks; the
# context switches show any wake-up, however short, that the ticks are too coarse to see.
set -euo pipefail

BENCH_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$BENCH_SOURCE/build-bench}" && pwd)
settle=${SETTLE:-5}
idle=${IDLE:-30}

# shellcheck source=scripts/benchmark-session.sh
source "$BENCH_SOURCE/bench/scripts/benchmark-session.sh"

if ! [ -x "$build/talverin-timestamp" ] || ! [ -x "$build/tools/talverin-stamp-service" ]; then
    bench_fail "build talverin-timestamp and talverin-stamp-service in $build first"
fi
for tool in Xvfb trayer xwininfo; do
    command -v "$tool" >/dev/null || bench_fail "$tool is needed (Debian packages xvfb, trayer, x11-utils)"
done

work=$(mktemp -d /tmp/talverin-idle-XXXXXX)
trap 'bench_stop_session; rm -rf "$work"' EXIT

# Per thread: name, CPU ticks, voluntary and involuntary context switches.
thread_table() {
    local pid=$1 task
    for task in /proc/"$pid"/task/*; do
        local stat fields name
        stat=$(cat "$task/stat")
        name=${stat#*(}
        name=${name%%)*}
        read -r -a fields <<<"${stat##*) }"
        printf '%s %s %s %s %s\n' "${task##*/}" "${name// /_}" "$((fields[11] + fields[12]))" \
            "$(sed -n 's/^voluntary_ctxt_switches:[[:space:]]*//p' "$task/status")" \
            "$(sed -n 's/^nonvoluntary_ctxt_switches:[[:space:]]*//p' "$task/status")"
    done | sort -n
}

process_ticks() {
    local stat fields
    stat=$(cat "/proc/$1/stat")
    read -r -a fields <<<"${stat##*) }"
    echo "$((fields[11] + fields[12]))"
}

status_field() {
    sed -n "s/^$2:[[:space:]]*//p" "/proc/$1/status"
}

bench_machine

# A private X server; -displayfd picks a free display number and says which.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
BENCH_PIDS+=("$!")
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
done
[ -s "$work/display" ] || bench_fail "Xvfb did not start: $(cat "$work/xvfb.err")"
BENCH_DISPLAY=":$(head -n1 "$work/display")"

bench_start_session "$work" "$build"

DISPLAY=$BENCH_DISPLAY DBUS_SESSION_BUS_ADDRESS=$BENCH_SESSION_BUS \
    trayer --edge top --align right --widthtype request --height 24 >"$work/trayer.out" 2>&1 &
BENCH_PIDS+=("$!")
for _ in $(seq 100); do
    xwininfo -display "$BENCH_DISPLAY" -root -tree 2>/dev/null | grep -q '"panel"' && break
    sleep 0.05
done

home="$work/home"
bench_agent_home "$home"
bench_agent_environment "$home" >"$work/agent.env"
mapfile -t agent_environment <"$work/agent.env"
env -i "${agent_environment[@]}" "$build/talverin-timestamp" >"$work/agent.out" 2>&1 &
agent=$!
BENCH_PIDS+=("$agent")

for _ in $(seq 200); do
    grep -qs '開始時の打刻に成功しました' "$home"/Library/Logs/*.log && break
    kill -0 "$agent" 2>/dev/null || bench_fail "the agent ended: $(cat "$work/agent.out")"
    sleep 0.05
done
grep -qs '開始時の打刻に成功しました' "$home"/Library/Logs/*.log ||
    bench_fail "the start-up arrival stamp was not accepted"
sleep "$settle"

echo "display $BENCH_DISPLAY, agent pid $agent, settled $settle s after its arrival stamp"
# The icon is embedded when a window of the agent's class is a descendant of trayer's panel.
if xwininfo -display "$BENCH_DISPLAY" -root -tree | awk '
    /"panel"/ { inside = 1; depth = match($0, /[^ ]/); next }
    inside && /0x/ && match($0, /[^ ]/) <= depth { inside = 0 }
    inside && /"talverin-timestamp"/ { found = 1 }
    END { exit !found }'; then
    echo "tray icon: embedded in trayer's panel"
else
    echo "tray icon: NOT embedded in trayer's panel"
fi
echo "VmRSS $(status_field "$agent" VmRSS), VmHWM $(status_field "$agent" VmHWM)," \
    "threads $(status_field "$agent" Threads)"

before_ticks=$(process_ticks "$agent")
thread_table "$agent" >"$work/threads.before"
sleep "$idle"
after_ticks=$(process_ticks "$agent")
thread_table "$agent" >"$work/threads.after"

echo "CPU ticks over $idle s idle: $((after_ticks - before_ticks)) (clock ticks of $(getconf CLK_TCK) per second)"
echo "per thread over $idle s: tid name ticks voluntary-switches involuntary-switches"
join <(sort "$work/threads.before") <(sort "$work/threads.after") |
    awk '{ printf "  %s %s %d %d %d\n", $1, $2, $7 - $3, $8 - $4, $9 - $5 }' | sort -n
echo "VmRSS $(status_field "$agent" VmRSS), VmHWM $(status_field "$agent" VmHWM) at the end"
