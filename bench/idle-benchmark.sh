#!/usr/bin/env bash
# What the agent costs while it waits: its memory, and whether it wakes up at all.
#
#   bench/idle-benchmark.sh [BUILD_DIR]      (default: build, the default preset's)
#   environment: SETTLE=5  IDLE=60  (seconds)  BENCH_TRUST=file|system (scripts/benchmark-session.sh)
#
# The built agent runs with its tray icon on a private X server (Xvfb, 1280x800x24) whose tray
# host is trayer, on private session and system buses, against the local stamp service with a
# fresh CA. Once its start-up arrival stamp has been accepted and SETTLE seconds have passed, the
# script reads VmRSS and VmHWM, then counts the CPU clock ticks (utime + stime) and the context
# switches of every thread of the agent over IDLE seconds. An idle agent should use 0 ticks; the
# context switches show any wake-up, however short, that the ticks are too coarse to see. Last,
# talverin-tray-floor (bench/floor) runs in the same session, for the toolkit's own share.
set -euo pipefail

BENCH_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$BENCH_SOURCE/build}" && pwd)
settle=${SETTLE:-5}
idle=${IDLE:-60}

# shellcheck source=scripts/benchmark-session.sh
source "$BENCH_SOURCE/bench/scripts/benchmark-session.sh"

if ! [ -x "$build/talverin-timestamp" ] || ! [ -x "$build/tools/talverin-stamp-service" ]; then
    bench_fail "build talverin-timestamp and talverin-stamp-service in $build first"
fi

work=$(mktemp -d "${BENCH_TMP:-/tmp}/talverin-idle-XXXXXX")
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

bench_start_session "$work" "$build"
bench_start_desktop "$work"

home="$work/home"
bench_agent_home "$home"
bench_agent_environment "$home" >"$work/agent.env"
mapfile -t agent_environment <"$work/agent.env"
mapfile -t agent_command < <(bench_agent_command "$build")
env -i "${agent_environment[@]}" "${agent_command[@]}" >"$work/agent.out" 2>&1 &
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
memory_line() {
    echo "VmRSS $(status_field "$1" VmRSS) (RssAnon $(status_field "$1" RssAnon)," \
        "RssFile $(status_field "$1" RssFile)), VmHWM $(status_field "$1" VmHWM)," \
        "threads $(status_field "$1" Threads)"
}
memory_line "$agent"

before_ticks=$(process_ticks "$agent")
thread_table "$agent" >"$work/threads.before"
sleep "$idle"
after_ticks=$(process_ticks "$agent")
thread_table "$agent" >"$work/threads.after"

echo "CPU ticks over $idle s idle: $((after_ticks - before_ticks)) (clock ticks of $(getconf CLK_TCK) per second)"
echo "per thread over $idle s: tid name ticks voluntary-switches involuntary-switches"
join <(sort "$work/threads.before") <(sort "$work/threads.after") |
    awk '{ printf "  %s %s %d %d %d\n", $1, $2, $7 - $3, $8 - $4, $9 - $5 }' | sort -n
echo "at the end: $(memory_line "$agent")"

# The toolkit's floor in the same session and the same way of trusting the CA: a tray icon, a bus
# name and one HTTPS request, nothing of the agent's own.
floor_command=("${agent_command[@]}")
floor_command[-1]="$build/bench/talverin-tray-floor"
env -i "${agent_environment[@]}" "${floor_command[@]}" "$BENCH_ORIGIN/api/osx/v1/stamp/arrival" \
    >"$work/floor.out" 2>&1 &
floor=$!
BENCH_PIDS+=("$floor")
for _ in $(seq 200); do
    grep -qs '^answered 200' "$work/floor.out" && break
    kill -0 "$floor" 2>/dev/null || bench_fail "the floor program ended: $(cat "$work/floor.out")"
    sleep 0.05
done
grep -qs '^answered 200' "$work/floor.out" || bench_fail "the floor program's request failed"
sleep "$settle"
echo "toolkit floor (bench/floor/TrayFloor.cpp): $(memory_line "$floor")"
