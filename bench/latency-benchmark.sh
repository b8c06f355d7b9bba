#!/usr/bin/env bash
# How soon stamps reach the service: from the agent's start to its arrival request, and from a
# screen lock to its leaving request on a warm connection, side by side with a script that
# reacts to the same logind signal by running curl.
#
#   bench/latency-benchmark.sh [BUILD_DIR]      (default: build, the default preset's)
#   environment: RUNS=11 (starts)  CYCLES=100 (locks)  RESULTS=BUILD_DIR/latency-benchmark.jsonl
#
# The agent runs with its tray icon on a private X server whose tray host is trayer, on private
# session and system buses, with the test suite's fake logind on the system bus, against the local
# stamp service with a fresh CA. Start-up is measured both with the CA trusted the deployed way
# and through TALVERIN_CA_FILE (BENCH_TRUST in scripts/benchmark-session.sh). Times are read from the system clock by the process that acts
# (the driver just before starting the agent, the fake logind just before it announces the lock)
# and by the service when a request has arrived; bench/scripts/stamp_latency.py says exactly what
# is measured. Every figure stays in RESULTS as JSON lines.
set -euo pipefail

BENCH_SOURCE=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$BENCH_SOURCE/build}" && pwd)
runs=${RUNS:-11}
cycles=${CYCLES:-100}
results=${RESULTS:-$build/latency-benchmark.jsonl}
python=/usr/bin/python3

# shellcheck source=scripts/benchmark-session.sh
source "$BENCH_SOURCE/bench/scripts/benchmark-session.sh"

if ! [ -x "$build/talverin-timestamp" ] || ! [ -x "$build/tools/talverin-stamp-service" ]; then
    bench_fail "build talverin-timestamp and talverin-stamp-service in $build first"
fi
for tool in curl gdbus; do
    command -v "$tool" >/dev/null || bench_fail "$tool is needed (Debian packages curl, libglib2.0-bin)"
done

work=$(mktemp -d "${BENCH_TMP:-/tmp}/talverin-latency-XXXXXX")
trap 'bench_stop_session; rm -rf "$work"' EXIT

bench_machine
bench_start_session "$work" "$build"
bench_start_desktop "$work"
bench_start_login1 "$work"

home="$work/home"
bench_agent_home "$home"
driver=("$python" "$BENCH_SOURCE/bench/scripts/stamp_latency.py")
# The service's CA trusted the deployed way: the drivers run inside the mount namespace, so that
# the agent is started directly, as a session starts it.
in_namespace=("$BENCH_SOURCE/bench/scripts/with-trusted-ca.sh" "$BENCH_SYSTEM_CERTIFICATES")
: >"$results"
for BENCH_TRUST in system file; do
    bench_agent_environment "$home" >"$work/agent-$BENCH_TRUST.env"
done
"${in_namespace[@]}" "${driver[@]}" start --agent "$build/talverin-timestamp" \
    --env "$work/agent-system.env" --control-port "$BENCH_CONTROL_PORT" --runs "$runs" |
    tee -a "$results"
"${driver[@]}" start --agent "$build/talverin-timestamp" --env "$work/agent-file.env" \
    --control-port "$BENCH_CONTROL_PORT" --runs "$runs" | tee -a "$results"
# What the toolkit alone takes from start to a first request.
"${in_namespace[@]}" "${driver[@]}" start --floor \
    --agent "$build/bench/talverin-tray-floor $BENCH_ORIGIN/api/osx/v1/stamp/arrival" \
    --env "$work/agent-system.env" --control-port "$BENCH_CONTROL_PORT" --runs "$runs" |
    tee -a "$results"

curl_serial="BENCH-CURL-0001"
DBUS_SYSTEM_BUS_ADDRESS=$BENCH_SYSTEM_BUS "$BENCH_SOURCE/bench/scripts/lock-curl.sh" \
    "$BENCH_ORIGIN" "$BENCH_CA_FILE" "$curl_serial" >"$work/lock-curl.out" 2>&1 &
BENCH_PIDS+=("$!")
sleep 0.5 # until gdbus has subscribed
"${in_namespace[@]}" "${driver[@]}" lock --agent "$build/talverin-timestamp" \
    --env "$work/agent-system.env" --control-port "$BENCH_CONTROL_PORT" \
    --login1-bus "$BENCH_SYSTEM_BUS" --curl-serial "$curl_serial" --cycles "$cycles" |
    tee -a "$results"

"$python" - "$results" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    result = json.loads(line)
    if result["benchmark"] == "start to arrival request":
        print(f"start to arrival request, {result['program']}, trust by {result['trust']}: median {result['median'] / 1000:.1f} ms, "
              f"p99 {result['p99'] / 1000:.1f} ms, first run {result['first'] / 1000:.1f} ms "
              f"({result['count']} runs)")
    else:
        for who in ("agent", "curl_script"):
            figures = result[who]
            print(f"lock to leaving request, {who}: median {figures['median'] / 1000:.2f} ms, "
                  f"p99 {figures['p99'] / 1000:.2f} ms ({figures['count']} locks)")
        print(f"the script takes {result['median_ratio']:.1f} times as long as the agent (medians)")
PY
