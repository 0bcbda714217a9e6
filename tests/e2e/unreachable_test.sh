#!/usr/bin/env bash
# Without a broker that accepts it, the runner reads no input, says why,
# and exits 3 once --connect-timeout has passed; a configuration that
# never comes is no unreachable broker.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

expect_unreachable() { # config reason
    local status=0 started=$SECONDS
    seq 1 10 | "$SINK_RUN" --config "$1" --connect-timeout 2 2>"$E2E_DIR/run.err" || status=$?
    [ "$status" -eq 3 ] || fail "$1: exit status $status, expected 3"
    [ $((SECONDS - started)) -le 6 ] || fail "$1: the runner overran its bound"
    grep -q "^tavrix-sink-run: broker unreachable: no accepted connection within 2 s (last: .*$2" \
        "$E2E_DIR/run.err" || fail "$1: no reason '$2' given"
    ! grep -q "^tavrix-sink-run: read " "$E2E_DIR/run.err" || fail "$1: input was read"
}

# A port nobody listens on: one a broker had a moment ago.
broker_start
port=$BROKER_PORT
broker_stop
write_config "$E2E_DIR/closed.json" "{\"host\": \"127.0.0.1\", \"port\": $port, \"topic\": \"t\"}"
expect_unreachable "$E2E_DIR/closed.json" "MQ connect: 127.0.0.1:$port: Connection refused"

# A broker that answers but refuses anonymous clients.
broker_start "allow_anonymous false"
write_config "$E2E_DIR/refused.json" \
    "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT, \"topic\": \"t\"}"
expect_unreachable "$E2E_DIR/refused.json" \
    "MQ connect: 127.0.0.1:$BROKER_PORT: The connection was refused. \\[5\\]"
# A FIFO nobody writes: the runner waits for its writer as long as for a
# broker.
mkfifo "$E2E_DIR/fifo.json"
status=0
seq 1 10 | "$SINK_RUN" --config "$E2E_DIR/fifo.json" --connect-timeout 1 \
    2>"$E2E_DIR/run.err" || status=$?
[ "$status" -eq 1 ] || fail "FIFO: exit status $status, expected 1"
grep -q "^tavrix-sink-run: configuration $E2E_DIR/fifo.json gave nothing to read (a FIFO without a writer?)" \
    "$E2E_DIR/run.err" || fail "FIFO: the missing writer was not named"
! grep -q "unreachable" "$E2E_DIR/run.err" || fail "FIFO: called an unreachable broker"
echo "PASS: unreachable and refusing brokers, a configuration that never comes, within the bound"
