#!/usr/bin/env bash
# --whole sends a binary file, NUL bytes and all, as one payload.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
payload="$E2E_DIR/payload.bin"
{
    printf 'head\0\0\r\nmiddle\n\0'
    head -c 100000 /dev/urandom
    printf '\ntail without newline\0'
} >"$payload"

# -N: the payload exactly as sent, no newline added.
subscribe sub-bin "$E2E_DIR/received.bin" "e2e/bin" -N -C 1
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"e2e/bin\"}"

"$SINK_RUN" --config "$E2E_DIR/c.json" --input "$payload" --whole 2>"$E2E_DIR/run.err" ||
    fail "the runner exited with $?"
wait_until 30 gone "$SUBSCRIBER_PID" || fail "the payload did not arrive"
cmp "$payload" "$E2E_DIR/received.bin" || fail "the payload arrived altered"
grep -q "read 1, queued 1, dropped 0, published 1, unacknowledged 0" "$E2E_DIR/run.err" ||
    fail "summary line wrong"
echo "PASS: $(wc -c <"$payload") bytes as one payload"
