# shellcheck shell=bash
# Shared by the end-to-end tests: a private broker on a free loopback port
# with its own configuration, subscribers, and waits with a deadline.
# Everything started here is stopped, and the scratch directory removed,
# when the test's shell exits.
#
# The test's environment names the programs: SINK_RUN, MOSQUITTO,
# MOSQUITTO_SUB, MOSQUITTO_PUB.
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

broker_settled() { # pid log
    grep -q "mosquitto version .* running" "$2" || gone "$1"
}

# broker_start [CONFIG LINE]...: starts mosquitto on a free loopback port,
# with the extra configuration lines given; sets BROKER_PORT, BROKER_PID
# and BROKER_LOG. The broker runs as the current user (as root it would
# otherwise drop to a user that cannot read the scratch directory) and
# never drops a message for a slow subscriber.
broker_start() {
    local attempt port pid
    BROKER_LOG="$E2E_DIR/broker.log"
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        {
            echo "listener $port 127.0.0.1"
            echo "allow_anonymous true"
            echo "persistence false"
            echo "user $(id -un)"
            echo "max_queued_messages 0"
            # A log file is written line by line; standard output would be
            # buffered until the broker ends.
            echo "log_dest file $BROKER_LOG"
            echo "log_type error"
            echo "log_type warning"
            echo "log_type notice"
            echo "log_type information"
            echo "log_type subscribe"
            local line
            for line in "$@"; do
                echo "$line"
            done
        } >"$E2E_DIR/broker.conf"
        : >"$BROKER_LOG"
        "$MOSQUITTO" -c "$E2E_DIR/broker.conf" >>"$E2E_DIR/broker.out" 2>&1 3>&- &
        pid=$!
        if wait_until 10 broker_settled "$pid" "$BROKER_LOG" && ! gone "$pid"; then
            track "$pid"
            BROKER_PORT=$port
            BROKER_PID=$pid
            return 0
        fi
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    cat "$E2E_DIR/broker.out" "$BROKER_LOG" >&2
    fail "no broker would start"
}

broker_stop() {
    kill "$BROKER_PID"
    wait "$BROKER_PID" 2>/dev/null || true
}

# broker_restart [CONFIG LINE]...: after broker_stop, the broker again on
# the same port, with more configuration lines if given.
broker_restart() {
    local runs line
    runs=$(grep -c "mosquitto version .* running" "$BROKER_LOG" || true)
    {
        cat "$E2E_DIR/broker.conf"
        for line in "$@"; do
            echo "$line"
        done
    } >"$E2E_DIR/restart.conf"
    "$MOSQUITTO" -c "$E2E_DIR/restart.conf" >>"$E2E_DIR/broker.out" 2>&1 3>&- &
    BROKER_PID=$!
    track "$BROKER_PID"
    wait_until 10 grep_count "$BROKER_LOG" "mosquitto version .* running" $((runs + 1)) ||
        fail "the broker did not restart on port $BROKER_PORT"
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
