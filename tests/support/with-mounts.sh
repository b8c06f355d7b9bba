#!/bin/sh
# Runs a command in a mount namespace of its own, where TALVERIN_READ_ONLY_FOLDER becomes read-only
# (for root too), TALVERIN_SMALL_DISK_FOLDER a 1 MiB disk holding a copy of what it held (filled up
# first if TALVERIN_SMALL_DISK_FULL is set). Nothing changes outside it.
set -eu
if [ -z "${TALVERIN_IN_MOUNT_NAMESPACE:-}" ]; then
    export TALVERIN_IN_MOUNT_NAMESPACE=1
    [ "$(id -u)" -eq 0 ] && exec unshare --mount --propagation private "$0" "$@"
    exec unshare --map-root-user --mount --propagation private "$0" "$@"
fi
if [ -n "${TALVERIN_READ_ONLY_FOLDER:-}" ]; then
    mount --bind "$TALVERIN_READ_ONLY_FOLDER" "$TALVERIN_READ_ONLY_FOLDER"
    mount -o remount,bind,ro "$TALVERIN_READ_ONLY_FOLDER"
fi
if [ -n "${TALVERIN_SMALL_DISK_FOLDER:-}" ]; then
    held=$(mktemp -d)
    cp -a "$TALVERIN_SMALL_DISK_FOLDER/." "$held/"
    mount -t tmpfs -o size=1m none "$TALVERIN_SMALL_DISK_FOLDER"
    cp -a "$held/." "$TALVERIN_SMALL_DISK_FOLDER/"
    rm -rf "$held"
    if [ -n "${TALVERIN_SMALL_DISK_FULL:-}" ]; then
        dd if=/dev/zero of="$TALVERIN_SMALL_DISK_FOLDER/.filler" bs=4096 2>/dev/null || true
    fi
fi
unset TALVERIN_IN_MOUNT_NAMESPACE TALVERIN_READ_ONLY_FOLDER TALVERIN_SMALL_DISK_FOLDER \
    TALVERIN_SMALL_DISK_FULL
exec "$@"
