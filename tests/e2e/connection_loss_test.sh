#!/usr/bin/env bash
# The plug-in drops payloads while its connection is down, by design; the
# runner cannot prevent that after the start, but it tells: the summary
# counts the publishes never made and the exit status is 4.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/loss\"}"
mkfifo "$E2E_DIR/input"
exec 3<>"$E2E_DIR/input"
err="$E2E_DIR/run.err"
# The runner must not hold the FIFO's write end, or it would never see
# the end of its input.
"$SINK_RUN" --config "$E2E_DIR/c.json" --input "$E2E_DIR/input" --debug --stats \
    2>"$err" 3>&- &
runner=$!
track "$runner"

echo before >&3
wait_until 20 grep -q "^tavrix-sink-run: .*: read 1, .*published 1, unacknowledged 0$" "$err" ||
    fail "the first line was not acknowledged"

broker_stop
wait_until 20 grep -q "^mqtt: MQ read: The connection was lost" "$err" ||
    fail "the plug-in did not notice the lost connection"
# Taken from the queue (and so dropped) while the broker is away: the
# progress line shows the queue empty again before the broker comes back.
echo while-down >&3
wait_until 20 grep -q "^tavrix-sink-run: .*: read 2, queued 2, dropped 0, waiting 0, published 1," \
    "$err" || fail "the plug-in did not take the line while the broker was down"

broker_restart
wait_until 20 grep_count "$err" "^mqtt: on_connect: 0:" 2 || fail "no second connection"
echo after >&3
exec 3>&-

expect_exit "$runner" 30 4
grep -q "^tavrix-sink-run: read 3, queued 3, dropped 0, published 2, unacknowledged 0," "$err" ||
    fail "summary line wrong"
grep -q "^tavrix-sink-run: 1 publishes never made: the plug-in drops payloads while it is not connected" \
    "$err" || fail "the loss is not explained"
echo "PASS: payloads lost to a broken connection are counted and fail the run"
