#!/usr/bin/env bash
# Sets everything up, starts the local stamp service with a fresh certificate authority and runs
# the agent against it, so that the stamp round trip shows on the console. The demo keeps its
# HOME, logs, records and autostart entry under build/demo, away from your own account.
# Quit with Ctrl-C (or the tray menu's 終了): the leaving stamp is sent before the agent ends.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh default

demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/home"
tools/stamp-service/make-ca.sh "$demo/ca" >/dev/null

build/tools/talverin-stamp-service --cert "$demo/ca/server.pem" --key "$demo/ca/server-key.pem" \
    --log "$demo/requests.jsonl" >"$demo/service.out" 2>&1 &
service=$!
trap 'kill "$service" 2>/dev/null || true' EXIT
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
run=(build/talverin-timestamp)
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && ! [ -S "/run/user/$(id -u)/bus" ]; then
    run=(dbus-run-session -- "${run[@]}")
fi
status=0
"${run[@]}" || status=$?

echo
echo "The service received:"
cat "$demo/requests.jsonl" 2>/dev/null || true
exit "$status"
