# shellcheck shell=bash
# Sourced by the agent benchmarks: a private desktop session for the built agent, made of a
# throw-away certificate authority, the local stamp service, and private session and system buses.
# Every process started here is recorded and ended by its process id in bench_stop_session.
#
#   bench_start_session WORK BUILD   sets BENCH_ORIGIN, BENCH_CA_FILE, BENCH_SYSTEM_CERTIFICATES,
#                                    BENCH_SERVICE_PORT, BENCH_CONTROL_PORT, BENCH_SESSION_BUS,
#                                    BENCH_SYSTEM_BUS
#   bench_start_desktop WORK         a private X server with trayer as its tray host; sets
#                                    BENCH_DISPLAY (call after bench_start_session)
#   bench_start_login1 WORK          the test suite's fake logind on the private system bus
#   bench_agent_home HOME            makes a fresh HOME with its XDG folders and a serial file
#   bench_agent_environment HOME     prints NAME=VALUE lines of the agent's whole environment
#   bench_agent_command BUILD        prints the words of the command that starts the agent
#
# BENCH_TMP (default /tmp) is where each run's folder goes, the agent's HOME with its store among
# them: /dev/shm puts the store on memory, where a durable write costs no disk flush.
#
# BENCH_TRUST says how the agent trusts the service's throw-away CA: "file" (the default) through
# TALVERIN_CA_FILE, as the tests do, which makes it read every system authority at start-up too;
# "system" through the system's certificate folder, read on demand as for a deployed agent whose
# service has a public certificate (bench/scripts/with-trusted-ca.sh, in a mount namespace).
#   bench_stop_session

BENCH_PIDS=()

bench_fail() {
    echo "$*" >&2
    exit 1
}

bench_stop_process() {
    local pid=$1
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
}

bench_stop_session() {
    local index
    for ((index = ${#BENCH_PIDS[@]} - 1; index >= 0; index--)); do
        bench_stop_process "${BENCH_PIDS[index]}"
    done
    BENCH_PIDS=()
}

# A bus for this session only: anyone may own any name, and nothing is started on demand. Its
# address goes to the variable named; not called in a subshell, so that its process id is kept.
bench_start_bus() {
    local work=$1 name=$2 variable=$3
    if ! [ -e "$work/bus.conf" ]; then
        cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    fi
    dbus-daemon --config-file="$work/bus.conf" --fork --print-address=3 --print-pid=4 \
        3>"$work/$name.address" 4>"$work/$name.pid" || bench_fail "dbus-daemon did not start"
    BENCH_PIDS+=("$(cat "$work/$name.pid")")
    printf -v "$variable" '%s' "$(head -n1 "$work/$name.address")"
}

bench_start_session() {
    local work=$1 build=$2
    "$BENCH_SOURCE/tools/stamp-service/make-ca.sh" "$work/ca" >/dev/null ||
        bench_fail "make-ca.sh failed"
    BENCH_CA_FILE="$work/ca/ca.pem"
    BENCH_SYSTEM_CERTIFICATES="$work/system-certificates"
    "$BENCH_SOURCE/bench/scripts/with-trusted-ca.sh" prepare "$BENCH_CA_FILE" \
        "$BENCH_SYSTEM_CERTIFICATES" || bench_fail "could not prepare $BENCH_SYSTEM_CERTIFICATES"

    "$build/tools/talverin-stamp-service" --cert "$work/ca/server.pem" \
        --key "$work/ca/server-key.pem" >"$work/service.out" 2>"$work/service.err" &
    BENCH_PIDS+=("$!")
    for _ in $(seq 100); do
        grep -q '^control ' "$work/service.out" 2>/dev/null && break
        sleep 0.05
    done
    BENCH_SERVICE_PORT=$(sed -n 's/^listening .*://p' "$work/service.out")
    BENCH_CONTROL_PORT=$(sed -n 's/^control .*://p' "$work/service.out")
    if [ -z "$BENCH_SERVICE_PORT" ] || [ -z "$BENCH_CONTROL_PORT" ]; then
        bench_fail "the stamp service did not start: $(cat "$work/service.err")"
    fi
    BENCH_ORIGIN="https://127.0.0.1:$BENCH_SERVICE_PORT"

    bench_start_bus "$work" session-bus BENCH_SESSION_BUS
    bench_start_bus "$work" system-bus BENCH_SYSTEM_BUS
}

bench_start_desktop() {
    local work=$1 tool
    for tool in Xvfb trayer xwininfo; do
        command -v "$tool" >/dev/null ||
            bench_fail "$tool is needed (Debian packages xvfb, trayer, x11-utils)"
    done
    # -displayfd picks a free display number and says which.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
    BENCH_PIDS+=("$!")
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.05
    done
    [ -s "$work/display" ] || bench_fail "Xvfb did not start: $(cat "$work/xvfb.err")"
    BENCH_DISPLAY=":$(head -n1 "$work/display")"

    DISPLAY=$BENCH_DISPLAY DBUS_SESSION_BUS_ADDRESS=$BENCH_SESSION_BUS \
        trayer --edge top --align right --widthtype request --height 24 >"$work/trayer.out" 2>&1 &
    BENCH_PIDS+=("$!")
    for _ in $(seq 100); do
        xwininfo -display "$BENCH_DISPLAY" -root -tree 2>/dev/null | grep -q '"panel"' && return 0
        sleep 0.05
    done
    bench_fail "trayer's panel did not appear: $(cat "$work/trayer.out")"
}

bench_start_login1() {
    local work=$1
    DBUS_SESSION_BUS_ADDRESS=$BENCH_SYSTEM_BUS /usr/bin/python3 \
        "$BENCH_SOURCE/tests/support/fakes/fake_system.py" >"$work/logind.out" 2>&1 &
    BENCH_PIDS+=("$!")
    for _ in $(seq 100); do
        DBUS_SYSTEM_BUS_ADDRESS=$BENCH_SYSTEM_BUS gdbus call --system \
            --dest org.freedesktop.login1 --object-path /org/freedesktop/login1 \
            --method org.freedesktop.login1.Manager.GetSession auto >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    bench_fail "the fake logind did not start: $(cat "$work/logind.out")"
}

bench_agent_home() {
    local home=$1
    rm -rf "$home"
    mkdir -p "$home/.config" "$home/.local/share/com.talverin.Timestamp" "$home/runtime"
    chmod 700 "$home/runtime"
    echo "BENCH-SERIAL-0001" >"$home/serial"
}

# Nothing of the caller's desktop leaks in: no display unless DISPLAY is given to this function's
# caller through BENCH_DISPLAY, and the buses are the private ones.
bench_agent_environment() {
    local home=$1
    printf '%s\n' \
        "PATH=/usr/local/bin:/usr/bin:/bin" \
        "HOME=$home" \
        "XDG_CONFIG_HOME=$home/.config" \
        "XDG_DATA_HOME=$home/.local/share" \
        "XDG_RUNTIME_DIR=$home/runtime" \
        "TZ=Asia/Tokyo" \
        "LANG=C.UTF-8" \
        "DBUS_SESSION_BUS_ADDRESS=$BENCH_SESSION_BUS" \
        "DBUS_SYSTEM_BUS_ADDRESS=$BENCH_SYSTEM_BUS" \
        "TALVERIN_SERVICE_ORIGIN=$BENCH_ORIGIN" \
        "TALVERIN_SERIAL_FILE=$home/serial"
    if [ "${BENCH_TRUST:-file}" = file ]; then
        echo "TALVERIN_CA_FILE=$BENCH_CA_FILE"
    fi
    if [ -n "${BENCH_DISPLAY:-}" ]; then
        echo "DISPLAY=$BENCH_DISPLAY"
    else
        echo "QT_QPA_PLATFORM=offscreen"
    fi
}

bench_agent_command() {
    local build=$1
    # Words to run the agent under, such as a tracer, for looking into a figure.
    if [ -n "${BENCH_AGENT_PREFIX:-}" ]; then
        printf '%s\n' $BENCH_AGENT_PREFIX
    fi
    if [ "${BENCH_TRUST:-file}" = system ]; then
        printf '%s\n' "$BENCH_SOURCE/bench/scripts/with-trusted-ca.sh" "$BENCH_SYSTEM_CERTIFICATES"
    fi
    echo "$build/talverin-timestamp"
}

bench_machine() {
    echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
        "kernel $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
}
