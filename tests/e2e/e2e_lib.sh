# shellcheck shell=bash
# Shared by the end-to-end tests: a private broker on a free loopback port
# with its own configuration, subscribers, and waits with a deadline.
# Everything started here is stopped, and the scratch directory removed,
# when the test's shell exits.
#
# The test's environment names the programs: SINK_RUN, TEST_BROKER,
# TEST_PROXY, MOSQUITTO_SUB.
#
# Descriptor 3 is the tests' input FIFO by convention; the programs
# started here in the background do not inherit it, or the FIFO would not
# end when the test closes it.

set -euo pipefail

E2E_DIR=$(mktemp -d "${TMPDIR:-/tmp}/tavrix-e2e.XXXXXX")
E2E_PIDS=()

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${E2E_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$E2E_DIR"
}
trap e2e_cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    local log
    for log in "$E2E_DIR"/*.err; do
        [ -f "$log" ] || continue
        echo "--- $(basename "$log")" >&2
        tail -n 20 "$log" >&2
    done
    exit 1
}

# Tracks a background process so that the test's end stops it.
track() {
    E2E_PIDS+=("$1")
}

# wait_until SECONDS COMMAND...: runs COMMAND until it succeeds; returns 1
# when SECONDS pass first.
wait_until() {
    local limit=$1
    shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# lines_in FILE COUNT: FILE has at least COUNT lines.
lines_in() {
    [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]
}

# grep_count FILE PATTERN COUNT: PATTERN matches at least COUNT lines.
grep_count() {
    [ -f "$1" ] && [ "$(grep -c -- "$2" "$1" || true)" -ge "$3" ]
}

# Whether a process has ended.
gone() {
    ! kill -0 "$1" 2>/dev/null
}

# expect_exit PID SECONDS STATUS: the background process PID ends within
# SECONDS with exit status STATUS; fails the test otherwise.
expect_exit() {
    wait_until "$2" gone "$1" || fail "the runner did not finish"
    local status=0
    wait "$1" || status=$?
    [ "$status" -eq "$3" ] || fail "exit status $status, expected $3"
}

# broker_state STATE: the test broker says STATE ("running" or
# "stopped"); sets BROKER_PORT and BROKER_PID from what it says.
broker_state() {
    local state
    [ -f "$BROKER_DIR/state" ] && read -r state BROKER_PORT BROKER_PID <"$BROKER_DIR/state" &&
        [ "$state" = "$1" ]
}

# broker_start [--user NAME:PASSWORD | --persistent | --tls | CONFIG LINE]...:
# starts mosquitto through the test broker helper on a free loopback port,
# with the users (anonymous clients are then refused), its state kept
# across a restart, TLS on that port (its CA in $BROKER_DIR/ca.crt), and
# extra configuration lines given; sets BROKER_PORT, BROKER_PID and
# BROKER_LOG. The broker never drops a message for a slow subscriber.
broker_start() {
    local args=(--conf "max_queued_messages 0")
    while [ $# -gt 0 ]; do
        if [ "$1" = --user ]; then
            args+=(--user "$2")
            shift
        elif [ "$1" = --persistent ] || [ "$1" = --tls ]; then
            args+=("$1")
        else
            args+=(--conf "$1")
        fi
        shift
    done
    BROKER_DIR=$(mktemp -d "$E2E_DIR/broker.XXXXXX")
    BROKER_LOG="$BROKER_DIR/mosquitto.log"
    "$TEST_BROKER" "$BROKER_DIR" "${args[@]}" 2>>"$E2E_DIR/broker.err" 3>&- &
    BROKER_HELPER=$!
    track "$BROKER_HELPER"
    wait_until 30 broker_state running || fail "no broker would start"
}

broker_stop() {
    kill -USR1 "$BROKER_HELPER"
    wait_until 10 broker_state stopped || fail "the broker did not stop"
}

# broker_restart [CONFIG LINE]...: after broker_stop, the broker again on
# the same port, with more configuration lines if given.
broker_restart() {
    printf '%s\n' "$@" >"$BROKER_DIR/restart.conf"
    kill -USR2 "$BROKER_HELPER"
    wait_until 15 broker_state running || fail "the broker did not restart on port $BROKER_PORT"
}

# proxy_start UPSTREAM_PORT [--delay MS_UP:MS_DOWN]: the fault proxy in
# front of UPSTREAM_PORT; sets PROXY_PORT. Commands go through
# proxy_command.
proxy_start() {
    PROXY_DIR=$(mktemp -d "$E2E_DIR/proxy.XXXXXX")
    mkfifo "$PROXY_DIR/input"
    "$TEST_PROXY" "$PROXY_DIR" --upstream "$@" <"$PROXY_DIR/input" 2>>"$E2E_DIR/proxy.err" 3>&- &
    track $!
    # Held for the test's life: the proxy ends with its input.
    exec {PROXY_INPUT}>"$PROXY_DIR/input"
    PROXY_COMMANDS=0
    wait_until 10 test -s "$PROXY_DIR/port" || fail "the fault proxy did not start"
    PROXY_PORT=$(cat "$PROXY_DIR/port")
}

# proxy_command COMMAND...: one command to the fault proxy ("silent on",
# "delay 25 25", "cut", "stall up on"...); returns once it is in force.
proxy_command() {
    echo "$*" >&"$PROXY_INPUT"
    PROXY_COMMANDS=$((PROXY_COMMANDS + 1))
    wait_until 10 grep -qx "applied $PROXY_COMMANDS" "$PROXY_DIR/state" ||
        fail "the fault proxy did not apply: $*"
}

# subscribe ID OUTPUT TOPIC [mosquitto_sub argument]...: starts a
# subscriber with client id ID writing to OUTPUT, and returns once the
# broker has its subscription. Sets SUBSCRIBER_PID.
subscribe() {
    local id=$1 output=$2 topic=$3
    shift 3
    "$MOSQUITTO_SUB" -h 127.0.0.1 -p "$BROKER_PORT" -i "$id" -t "$topic" "$@" \
        >"$output" 2>"$E2E_DIR/$id.err" 3>&- &
    SUBSCRIBER_PID=$!
    track "$SUBSCRIBER_PID"
    # The broker logs "<id> <qos> <topic>" once the subscription is in place.
    wait_until 10 grep -q "^[0-9]*: $id [0-9] " "$BROKER_LOG" ||
        fail "subscriber $id did not subscribe"
}

# write_config FILE JSON: the plug-in's configuration.
write_config() {
    printf '%s\n' "$2" >"$1"
}
