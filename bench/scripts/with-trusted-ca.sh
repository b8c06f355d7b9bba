#!/bin/sh
# Runs a command that trusts an extra certificate authority the way a deployed agent trusts a
# public one: through the system's certificate folder, read on demand, with no TALVERIN_CA_FILE.
# The folder is swapped only inside a mount namespace of the command's own; the machine's stays as
# it is.
#
#   with-trusted-ca.sh prepare CA_FILE FOLDER    makes FOLDER: the system's folder plus CA_FILE,
#                                                with the hash links OpenSSL looks them up by
#   with-trusted-ca.sh FOLDER COMMAND [ARGUMENT...]
#
# Preparing is slow (every certificate is hashed), so it is done once, out of any measurement.
set -eu
if [ "$1" = prepare ]; then
    mkdir -p "$3"
    cp -a /etc/ssl/certs/. "$3/"
    cp "$2" "$3/talverin-bench-ca.pem"
    openssl rehash "$3" >/dev/null 2>&1
    exit 0
fi
if [ -z "${TALVERIN_IN_MOUNT_NAMESPACE:-}" ]; then
    export TALVERIN_IN_MOUNT_NAMESPACE=1
    [ "$(id -u)" -eq 0 ] && exec unshare --mount --propagation private "$0" "$@"
    exec unshare --map-root-user --mount --propagation private "$0" "$@"
fi
unset TALVERIN_IN_MOUNT_NAMESPACE
folder=$1
shift
mount --bind "$folder" /etc/ssl/certs
exec "$@"
