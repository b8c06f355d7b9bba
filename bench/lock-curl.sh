#!/usr/bin/env bash
# The obvious alternative to the agent, for comparison: a script that watches logind's session for
# LockedHint turning true and sends the leaving stamp with curl each time. It says "watching" once
# gdbus has found logind, which is after its subscription was made.
#
#   lock-curl.sh ORIGIN CA_FILE SERIAL      (DBUS_SYSTEM_BUS_ADDRESS names the bus to watch)
set -uo pipefail
origin=$1 ca_file=$2 serial=$3

# gdbus flushes each signal as it prints it, so every line arrives at once. It is ended with this
# script, which its caller ends by its process id.
exec 3< <(exec gdbus monitor --address "$DBUS_SYSTEM_BUS_ADDRESS" --dest org.freedesktop.login1)
monitor=$!
trap 'kill "$monitor" 2>/dev/null' EXIT
trap 'exit 143' TERM INT
while IFS= read -r line <&3; do
    case $line in
    *"is owned by"*) echo watching ;;
    *"'LockedHint': <true>"*)
        curl --silent --show-error --output /dev/null --cacert "$ca_file" --request POST \
            --header "X-OSX-NUMBER: $serial" \
            "$origin/api/osx/v1/stamp/leaving?tim=$(date +%Y%m%d%H%M%S)"
        ;;
    esac
done
