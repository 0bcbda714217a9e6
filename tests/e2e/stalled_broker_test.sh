#!/usr/bin/env bash
# At QoS 0 nothing comes back from the broker: libmosquitto confirms a
# message once it has written it. A broker that stops reading leaves
# messages queued in libmosquitto until the keep-alive gives the
# connection up; the plug-in keeps them and publishes them again, first,
# on the next connection. What it had written since the broker last said
# anything may have sat in the kernel's buffers when the connection
# broke: the plug-in counts them possibly lost, and the runner, which
# cannot tell how many of them arrived, names them and exits 4, never 0.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
# A stopped broker would ignore the cleanup's SIGTERM.
trap 'kill -CONT "$BROKER_PID" 2>/dev/null || true; e2e_cleanup' EXIT
subscribe sub-stalled "$E2E_DIR/received.out" "e2e/stalled"
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/stalled\", \"message_qos\": 0}"
# Enough to fill both ends' socket buffers many times over.
lines=20010
filler=$(printf '%01000d' 0)
seq 1 "$lines" | sed "s/\$/ $filler/" >"$E2E_DIR/lines"
mkfifo "$E2E_DIR/input"
exec 3<>"$E2E_DIR/input"
err="$E2E_DIR/run.err"
"$SINK_RUN" --config "$E2E_DIR/c.json" --input "$E2E_DIR/input" 2>"$err" 3>&- &
runner=$!
track "$runner"
# The first line through proves the connection up before the broker stops.
head -n 1 "$E2E_DIR/lines" >&3
wait_until 20 lines_in "$E2E_DIR/received.out" 1 || fail "the first line did not arrive"
kill -STOP "$BROKER_PID"
tail -n +2 "$E2E_DIR/lines" >&3
exec 3>&-
wait_until 60 grep -q "^mqtt: MQ misc: " "$err" || fail "the keep-alive did not give up"
kill -CONT "$BROKER_PID"
expect_exit "$runner" 60 4

grep -q "^tavrix-sink-run: read $lines, queued $lines, dropped 0, published $lines, unacknowledged 0, re-sent [1-9][0-9]*, possibly lost [1-9][0-9]*," \
    "$err" || fail "summary line wrong"
resent=$(sed -n 's/^tavrix-sink-run: read .* re-sent \([0-9]*\),.*/\1/p' "$err")
grep -q "^mqtt: published again $resent messages the last connection left unconfirmed$" "$err" ||
    fail "the plug-in did not say what it published again"
possibly=$(sed -n 's/^tavrix-sink-run: read .* possibly lost \([0-9]*\),.*/\1/p' "$err")
grep -q "^tavrix-sink-run: $possibly QoS 0 messages possibly lost: " "$err" ||
    fail "the verdict does not name the messages possibly lost"
# Whatever the broker had still in its buffers arrives late, if at all.
wait_until 10 lines_in "$E2E_DIR/received.out" "$((lines - possibly))" ||
    fail "$(wc -l <"$E2E_DIR/received.out") of $lines arrived: more lost than the $possibly counted"
echo "PASS: $resent payloads re-sent, $possibly counted possibly lost, $(wc -l <"$E2E_DIR/received.out") of $lines arrived, exit 4"
