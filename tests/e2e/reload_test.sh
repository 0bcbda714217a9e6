#!/usr/bin/env bash
# SIGHUP rereads the configuration: a new topic applies to the payloads
# queued after the reload; a configuration gone by then stops the runner
# with the plug-in's own message.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
subscribe sub-reload "$E2E_DIR/received.out" "e2e/#" -v
config="$E2E_DIR/c.json"
write_config "$config" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/before/\${channel}\"}"

# A FIFO held open here, so that the input stays open between lines.
mkfifo "$E2E_DIR/input"
exec 3<>"$E2E_DIR/input"
err="$E2E_DIR/run.err"
"$SINK_RUN" --config "$config" --input "$E2E_DIR/input" --debug 2>"$err" 3>&- &
runner=$!
track "$runner"
wait_until 20 grep -q "^mqtt: on_connect: 0:" "$err" || fail "no connection"

echo first >&3
wait_until 20 grep -qx "e2e/before/default first" "$E2E_DIR/received.out" ||
    fail "the first line did not arrive"

write_config "$config" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/after/\${channel}\"}"
kill -HUP "$runner"
# The worker logs the reload at the start of a pass, before it takes
# anything from the queue in that pass.
wait_until 20 grep_count "$err" "^mqtt: Loading configuration: " 2 || fail "no reload"
echo second >&3
wait_until 20 grep -qx "e2e/after/default second" "$E2E_DIR/received.out" ||
    fail "the second line did not arrive on the new topic"

rm "$config"
kill -HUP "$runner"
expect_exit "$runner" 20 1
grep -q "^tavrix-sink-run: the plug-in failed: mqtt: $config: No such file or directory$" \
    "$err" || fail "the plug-in's message is missing"
[ "$(wc -l <"$E2E_DIR/received.out")" -eq 2 ] || fail "unexpected messages arrived"
echo "PASS: reload changed the topic; a vanished configuration stopped the run"
