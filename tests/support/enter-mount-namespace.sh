# shellcheck shell=sh
# Sourced first by a script that changes mounts for the command it runs: the script starts again
# in a mount namespace of its own (as the mapped root where it is not root), so that nothing it
# mounts is seen outside. Afterwards TALVERIN_IN_MOUNT_NAMESPACE is unset again.
if [ -z "${TALVERIN_IN_MOUNT_NAMESPACE:-}" ]; then
    export TALVERIN_IN_MOUNT_NAMESPACE=1
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --mount --propagation private "$0" "$@"
    fi
    exec unshare --map-root-user --mount --propagation private "$0" "$@"
fi
unset TALVERIN_IN_MOUNT_NAMESPACE
