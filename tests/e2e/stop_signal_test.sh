#!/usr/bin/env bash
# SIGTERM and SIGINT stop the runner in order while its input is still
# open: what was read is delivered, the summary printed, and the exit
# status tells the signal.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
subscribe sub-stop "$E2E_DIR/received.out" "e2e/stop" -q 1
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/stop\"}"
mkfifo "$E2E_DIR/input"

stop_with() { # signal name, expected status, lines so far
    local signal=$1 expected=$2 total=$3 status=0
    exec 3<>"$E2E_DIR/input"
    "$SINK_RUN" --config "$E2E_DIR/c.json" --input "$E2E_DIR/input" \
        2>"$E2E_DIR/run.err" 3>&- &
    local runner=$!
    track "$runner"
    wait_until 20 grep -q "^mqtt: Tavrix MQTT Sink Plugin .*publishing to MQTT" \
        "$E2E_DIR/run.err" || fail "the plug-in did not start"
    printf '%s\n' one two three >&3
    wait_until 20 lines_in "$E2E_DIR/received.out" "$total" ||
        fail "$signal: the lines did not arrive"
    kill "-$signal" "$runner"
    wait_until 20 gone "$runner" || fail "$signal: the runner did not stop"
    wait "$runner" || status=$?
    exec 3>&-
    [ "$status" -eq "$expected" ] || fail "$signal: exit status $status, expected $expected"
    grep -q "^tavrix-sink-run: read 3, queued 3, dropped 0, published 3, unacknowledged 0," \
        "$E2E_DIR/run.err" || fail "$signal: summary line wrong"
}

stop_with TERM 143 3
stop_with INT 130 6
echo "PASS: SIGTERM and SIGINT stop the run in order"
