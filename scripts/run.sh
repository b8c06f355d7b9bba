#!/usr/bin/env bash
# Sets everything up, starts the local stamp service with a fresh certificate authority and runs
# the agent against it, so that the stamp round trip shows on the console. The demo keeps its
# HOME, logs, records and autostart entry under build/demo, away from your own account.
# Quit with Ctrl-C (or the tray menu's 終了): the leaving stamp is sent before the agent ends.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what the demo runs: the agent and the stamp service.
./scripts/setup.sh default talverin-timestamp talverin-stamp-service

demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/home"
tools/stamp-service/make-ca.sh "$demo/ca" >/dev/null

# In a session of its own, so that Ctrl-C reaches the agent but not the service that must answer
# its leaving stamp.
setsid build/tools/talverin-stamp-service --cert "$demo/ca/server.pem" --key "$demo/ca/server-key.pem" \
    --log "$demo/requests.jsonl" >"$demo/service.out" 2>&1 &
service=$!
cleanup() {
    kill "$service" 2>/dev/null || true
    [ -z "${bus:-}" ] || kill "$bus" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
    grep -q '^listening ' "$demo/service.out" 2>/dev/null && break
    sleep 0.1
done
address=$(sed -n 's/^listening //p' "$demo/service.out")
[ -n "$address" ] || { cat "$demo/service.out" >&2; exit 1; }

export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config" XDG_DATA_HOME="$demo/home/.local/share"
export TALVERIN_SERVICE_ORIGIN="https://$address" TALVERIN_CA_FILE="$demo/ca/ca.pem"
# A machine whose serial number this user cannot read (a virtual machine, say) gets a demo one.
if ! [ -r /sys/class/dmi/id/product_serial ] && [ -z "${TALVERIN_SERIAL_FILE:-}" ]; then
    echo "DEMO-SERIAL-0001" >"$demo/serial"
    export TALVERIN_SERIAL_FILE="$demo/serial"
fi

echo "Stamp service: $TALVERIN_SERVICE_ORIGIN (requests in $demo/requests.jsonl)"
echo "Agent log:     $HOME/Library/Logs"
echo "Quit with Ctrl-C; the leaving stamp is sent first."
# Without a session bus (a plain console), the demo brings its own for the agent's commands.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && ! [ -S "/run/user/$(id -u)/bus" ]; then
    { read -r DBUS_SESSION_BUS_ADDRESS; read -r bus; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    export DBUS_SESSION_BUS_ADDRESS
fi
# Ctrl-C is the agent's to handle: it sends the leaving stamp and ends once it has the answer.
trap ':' INT
status=0
build/talverin-timestamp || status=$?
trap - INT

echo
echo "The service received:"
/usr/bin/python3 - "$demo/requests.jsonl" <<'SUMMARY' || true
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    request = json.loads(line)
    serial = [value for name, value in request["headers"] if name.lower() == "x-osx-number"]
    print(f'  {request["received"]}  {request["method"]} {request["path"]}?{request["query"]}'
          f'  X-OSX-NUMBER: {", ".join(serial)}  -> {request["action"]}')
SUMMARY
exit "$status"
