#!/usr/bin/env bash
# A broker restarted in the middle of a stream loses nothing. The plug-in
# keeps in the queue what it cannot publish while the broker is away, and
# publishes again what the broken connection left unacknowledged, so a
# subscriber whose session the broker keeps gets every line. Once all is
# acknowledged the runner exits 0, with the re-sent publishes counted apart.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start --persistent
# -c: a session the broker keeps across the restart; mosquitto_sub
# reconnects on its own.
subscribe restart-reader "$E2E_DIR/received" e2e/restart -q 1 -c
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/restart\", \"message_qos\": 1}"

# About 1000 lines a second for 10 seconds.
paced_lines() {
    local batch
    for batch in $(seq 0 99); do
        seq $((batch * 100 + 1)) $((batch * 100 + 100)) | sed 's/^/line-/'
        sleep 0.1
    done
}

err="$E2E_DIR/run.err"
paced_lines | "$SINK_RUN" --config "$E2E_DIR/c.json" --stats 2>"$err" 3>&- &
runner=$!
track "$runner"

wait_until 30 lines_in "$E2E_DIR/received" 2000 || fail "the stream did not start"
broker_stop
# Away for a few refused attempts: a second or two.
wait_until 20 grep_count "$err" "^mqtt: MQ connect: 127.0.0.1:$BROKER_PORT: " 2 ||
    fail "the plug-in did not try to reconnect"
broker_restart

expect_exit "$runner" 60 0
wait_until 30 test "$(sort -u "$E2E_DIR/received" | wc -l)" -eq 10000 ||
    fail "$(sort -u "$E2E_DIR/received" | wc -l) of 10000 distinct lines arrived"
grep -q "^tavrix-sink-run: read 10000, queued 10000, dropped 0, published 10000, unacknowledged 0, re-sent [0-9]*," \
    "$err" || fail "summary line wrong"
resent=$(sed -n 's/^tavrix-sink-run: read .* re-sent \([0-9]*\),.*/\1/p' "$err")
echo "PASS: 10000 of 10000 lines through a broker restart, $resent re-sent"
