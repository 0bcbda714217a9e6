#!/usr/bin/env bash
# Every line arrives, in order, on every channel, with the topic's
# variables expanded, and the runner knows it at once: also with an agent
# UUID (the client id) of 1000 characters, which libmosquitto's own log
# lines cut short. The integration tests cover the other QoS levels.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

lines=20000
uuid=$(printf 'agent-%0994d' 7)

broker_start
subscribe sub-one "$E2E_DIR/one.out" "e2e/lab/site-7/one" -q 1
subscribe sub-two "$E2E_DIR/two.out" "e2e/lab/site-7/two" -q 1
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/\${room}/\${uuid_site}/\${channel}\", \"message_qos\": 1}"

started=$SECONDS
seq 1 "$lines" | "$SINK_RUN" --config "$E2E_DIR/c.json" --channel one --channel two \
    --var room=lab --uuid-site site-7 --uuid-agent "$uuid" 2>"$E2E_DIR/run.err" ||
    fail "the runner exited with $?"
[ $((SECONDS - started)) -le 20 ] || fail "the runner took $((SECONDS - started)) s"

for channel in one two; do
    wait_until 30 lines_in "$E2E_DIR/$channel.out" "$lines" ||
        fail "channel $channel: $(wc -l <"$E2E_DIR/$channel.out") of $lines lines arrived"
    seq 1 "$lines" | cmp - "$E2E_DIR/$channel.out" ||
        fail "channel $channel: lines out of order or altered"
done
grep -q "read $lines, queued $lines, dropped 0, published $((2 * lines)), unacknowledged 0" \
    "$E2E_DIR/run.err" || fail "summary line wrong"
grep -q " as ${uuid:0:100}" "$BROKER_LOG" || fail "the broker did not see the long client id"
echo "PASS: $lines lines on two channels, a 1000-character client id"
