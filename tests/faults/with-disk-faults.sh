#!/bin/sh
# Runs a command in a mount namespace of its own, where folders named in the environment meet the
# faults a disk can have (for root too, who ignores permissions):
#   TALVERIN_READ_ONLY_FOLDER   this folder becomes read-only
#   TALVERIN_SMALL_DISK_FOLDER  this folder becomes a small disk of its own (a tmpfs of
#                               TALVERIN_SMALL_DISK_SIZE, default 1m) holding a copy of what it held
#   TALVERIN_SMALL_DISK_FULL    1: that disk is filled to the last byte before the command starts
# The mounts end with the last process of the namespace; outside it nothing changes.
set -eu
# shellcheck source=/dev/null
. "$(dirname "$0")/../support/enter-mount-namespace.sh"

if [ -n "${TALVERIN_READ_ONLY_FOLDER:-}" ]; then
    mount --bind "$TALVERIN_READ_ONLY_FOLDER" "$TALVERIN_READ_ONLY_FOLDER"
    mount -o remount,bind,ro "$TALVERIN_READ_ONLY_FOLDER"
fi
if [ -n "${TALVERIN_SMALL_DISK_FOLDER:-}" ]; then
    folder=$TALVERIN_SMALL_DISK_FOLDER
    held=$(mktemp -d)
    cp -a "$folder/." "$held/"
    mount -t tmpfs -o "size=${TALVERIN_SMALL_DISK_SIZE:-1m}" none "$folder"
    cp -a "$held/." "$folder/"
    rm -rf "$held"
    if [ "${TALVERIN_SMALL_DISK_FULL:-0}" = 1 ]; then
        dd if=/dev/zero of="$folder/.filler" bs=4096 2>/dev/null || true
    fi
fi
unset TALVERIN_IN_MOUNT_NAMESPACE TALVERIN_READ_ONLY_FOLDER TALVERIN_SMALL_DISK_FOLDER \
    TALVERIN_SMALL_DISK_SIZE TALVERIN_SMALL_DISK_FULL
exec "$@"
