#!/usr/bin/env bash
# The runner reads no input before the broker has accepted the plug-in,
# and the plug-in holds what it cannot publish yet: a broker that comes up
# late still receives every line.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# A free port: one a broker had a moment ago.
broker_start
port=$BROKER_PORT
broker_stop
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $port,
  \"topic\": \"e2e/held\"}"

seq 1 500 >"$E2E_DIR/input"
"$SINK_RUN" --config "$E2E_DIR/c.json" --input "$E2E_DIR/input" --connect-timeout 30 \
    2>"$E2E_DIR/run.err" &
runner=$!
track "$runner"
# The plug-in has tried and failed at least once before the broker exists.
wait_until 20 grep -q "^mqtt: MQ connect: 127.0.0.1:$port: " "$E2E_DIR/run.err" ||
    fail "no failed connect attempt"

# The same broker on the same port again, now logging every publish.
broker_restart "log_type debug"
expect_exit "$runner" 30 0
grep -q "^tavrix-sink-run: read 500, queued 500, dropped 0, published 500, unacknowledged 0," \
    "$E2E_DIR/run.err" || fail "summary line wrong"
[ "$(grep -c "Received PUBLISH from .*'e2e/held'" "$BROKER_LOG")" -eq 500 ] ||
    fail "the broker did not receive every line"
echo "PASS: input held until the broker accepted the plug-in"
