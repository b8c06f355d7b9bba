#!/usr/bin/env bash
# Installs what building, running and testing the agent need on Debian 12, then configures and
# builds. Safe to run again: apt-get skips what is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake ninja-build pkg-config clang-format clang libclang-rt-14-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev libsqlite3-dev libsm-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xauth xdotool trayer x11-utils imagemagick fonts-noto-cjk
    dbus-daemon dbus-bin libglib2.0-bin python3 python3-dbus python3-gi gir1.2-glib-2.0 bindfs
    openssl ca-certificates procps python3-pytest
    dpkg-dev file desktop-file-utils duktape lintian
    xfce4-session xfwm4 xfce4-panel gnome-session-bin weston qt6-wayland
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# setup.sh [PRESET [TARGET...]]: without targets, everything the preset builds.
preset="${1:-default}"
shift || true
cmake --preset "$preset" -G Ninja >/dev/null
if (($#)); then
    cmake --build --preset "$preset" --target "$@"
else
    cmake --build --preset "$preset"
fi
