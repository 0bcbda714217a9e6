#!/usr/bin/env bash
# At QoS 0 nothing comes back from the broker, so only the plug-in's
# clean close tells that its last write went out. A broker that stops
# reading leaves payloads in libmosquitto: the runner must say so and exit
# 4, not report them delivered.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
# A stopped broker would ignore the cleanup's SIGTERM.
trap 'kill -CONT "$BROKER_PID" 2>/dev/null || true; e2e_cleanup' EXIT
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/stalled\", \"message_qos\": 0}"
# Enough to fill both ends' socket buffers many times over.
filler=$(printf '%01000d' 0)
seq 1 50000 | sed "s/\$/ $filler/" >"$E2E_DIR/lines"
mkfifo "$E2E_DIR/input"
exec 3<>"$E2E_DIR/input"
err="$E2E_DIR/run.err"
: >"$err"
"$SINK_RUN" --config "$E2E_DIR/c.json" --input "$E2E_DIR/input" --debug 2>"$err" 3>&- &
runner=$!
track "$runner"
wait_until 20 grep -q "^mqtt: on_connect: 0:" "$err" || fail "the plug-in did not connect"

kill -STOP "$BROKER_PID"
cat "$E2E_DIR/lines" >&3
exec 3>&-
expect_exit "$runner" 60 4
# Either the stop found payloads still in libmosquitto, or the keep-alive
# gave the connection up first and the plug-in dropped the rest.
grep -q "^tavrix-sink-run: \(the plug-in's last write did not finish\|[0-9]* publishes never made\)" \
    "$err" || fail "the loss is not told"
echo "PASS: payloads left in libmosquitto at the stop fail the run"
