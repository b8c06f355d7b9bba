#!/usr/bin/env bash
# How long the agent takes to send a backlog of unsent records, and what it holds meanwhile.
#
#   bench/resend-benchmark.sh [BUILD_DIR]      (default: build, the default preset's)
#   environment: COUNTS="0 1000 10000"  RUNS=3  RESULTS=BUILD_DIR/resend-benchmark.jsonl
#                SERVICE_DELAY_MS=0 (the service waits this long before each answer)
#
# For each count, RUNS times: a fresh HOME whose store holds COUNT records (distinct times one
# minute apart, arrival and leaving in turn) is given to the built agent, headless, on private
# session and system buses, against the local stamp service with a fresh CA. The start-up arrival
# stamp is accepted, and then every record is resent at once. bench/scripts/agent_sampler.py
# measures from the agent's start until the store is empty, sampling every 10 ms; a run in which no
# record is removed for 10 s ends there, and "remaining" counts what was left. COUNT 0 is the
# agent with nothing to resend: its memory is the baseline for the others. Medians are printed at
# the end; every run's figures stay in RESULTS as JSON lines.
set -euo pipefail

BENCH_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$BENCH_SOURCE/build}" && pwd)
counts=${COUNTS:-0 1000 10000}
delay=${SERVICE_DELAY_MS:-0}
runs=${RUNS:-3}
results=${RESULTS:-$build/resend-benchmark.jsonl}
# The distribution's interpreter: its sqlite3 module is the one this script was written against.
python=/usr/bin/python3

# shellcheck source=scripts/benchmark-session.sh
source "$BENCH_SOURCE/bench/scripts/benchmark-session.sh"

if ! [ -x "$build/talverin-timestamp" ] || ! [ -x "$build/tools/talverin-stamp-service" ]; then
    bench_fail "build talverin-timestamp and talverin-stamp-service in $build first"
fi
command -v sqlite3 >/dev/null || bench_fail "the sqlite3 command is needed (Debian package sqlite3)"

work=$(mktemp -d "${BENCH_TMP:-/tmp}/talverin-resend-XXXXXX")
trap 'bench_stop_session; rm -rf "$work"' EXIT

# The store as the agent makes it, holding count records.
seed_store() {
    local store=$1 count=$2
    sqlite3 "$store" >/dev/null <<SQL
PRAGMA journal_mode=WAL;
CREATE TABLE defaults(key TEXT PRIMARY KEY, value);
WITH RECURSIVE n(i) AS (SELECT 0 WHERE $count > 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < $count),
     stamp(i, tim) AS (SELECT i, strftime('%Y%m%d%H%M%S', 1704067200 + i * 60, 'unixepoch') FROM n)
INSERT INTO defaults(key, value)
SELECT CASE i % 2 WHEN 0 THEN '開始時の打刻_' ELSE '終了時の打刻_' END || tim, tim FROM stamp;
SQL
    [ "$(sqlite3 "$store" 'SELECT count(*) FROM defaults')" -eq "$count" ] ||
        bench_fail "the store was not seeded with $count records"
}

bench_machine
echo "agent: $build/talverin-timestamp"
bench_start_session "$work" "$build"
: >"$results"
if [ "$delay" -gt 0 ]; then
    echo "the service waits $delay ms before each answer"
    for path in arrival leaving; do
        "$python" -c 'import sys, urllib.request
urllib.request.urlopen(urllib.request.Request(sys.argv[1], data=sys.argv[2].encode(), method="POST"))' \
            "http://127.0.0.1:$BENCH_CONTROL_PORT/behaviour" \
            "{\"path\":\"/api/osx/v1/stamp/$path\",\"delayMs\":$delay}"
    done
fi

for count in $counts; do
    for run in $(seq "$runs"); do
        home="$work/home"
        bench_agent_home "$home"
        store="$home/.local/share/com.talverin.Timestamp/defaults.sqlite3"
        seed_store "$store" "$count"
        bench_agent_environment "$home" >"$work/agent.env"
        line=$("$python" "$BENCH_SOURCE/bench/scripts/agent_sampler.py" run \
            --agent "$build/talverin-timestamp" --env "$work/agent.env" --store "$store" \
            --log-dir "$home/Library/Logs" --output "$work/agent-$count-$run.out" \
            --service-port "$BENCH_SERVICE_PORT" --control-port "$BENCH_CONTROL_PORT" \
            --records "$count")
        echo "$line" | tee -a "$results"
    done
done

echo
echo "medians (memory in kB, CPU in clock ticks of $(getconf CLK_TCK) per second):"
"$python" "$BENCH_SOURCE/bench/scripts/agent_sampler.py" summarize "$results"
