#!/usr/bin/env bash
# A configuration the plug-in could not run with (a missing file, broken
# JSON) stops the runner at once with its reason and exit 1, before the
# plug-in starts; one with which no publish could be made, at the
# plug-in's first load. A TLS set-up libmosquitto refuses ends only that
# connection attempt: the plug-in tries again, and the runner names it as
# the reason the broker was not reached.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

expect_failure() { # message-pattern config
    local message=$1 config=$2 status=0 started=$SECONDS
    echo payload | "$SINK_RUN" --config "$config" 2>"$E2E_DIR/run.err" || status=$?
    [ "$status" -eq 1 ] || fail "$config: exit status $status, expected 1"
    grep -q "^tavrix-sink-run: $message" "$E2E_DIR/run.err" ||
        fail "$config: the message '$message' is missing"
    ! grep -q "agent UUID" "$E2E_DIR/run.err" || fail "$config: the plug-in was started"
    [ $((SECONDS - started)) -lt 8 ] || fail "$config: the failure took too long"
}

missing="$E2E_DIR/missing.json"
expect_failure "cannot read configuration $missing: No such file or directory$" "$missing"

printf '{"topic": "x",\n' >"$E2E_DIR/broken.json"
expect_failure "configuration $E2E_DIR/broken.json is not valid JSON: " "$E2E_DIR/broken.json"

# A topic with which no publish could be made: the runner warns, and the
# plug-in refuses it at its first load, in one line naming the key.
write_config "$E2E_DIR/no-topic.json" '{"host": "127.0.0.1", "port": 1}'
status=0
echo payload | "$SINK_RUN" --config "$E2E_DIR/no-topic.json" 2>"$E2E_DIR/run.err" || status=$?
[ "$status" -eq 1 ] || fail "empty topic: exit status $status, expected 1"
grep -q "^tavrix-sink-run: warning: the topic is empty: libmosquitto will refuse every publish" \
    "$E2E_DIR/run.err" || fail "empty topic: no warning"
grep -qx "tavrix-sink-run: the plug-in refused the configuration: topic is empty: every publish would be refused" \
    "$E2E_DIR/run.err" || fail "empty topic: the refusal is not named"

# A CA file that cannot be read (not in place yet): libmosquitto refuses
# the TLS set-up at every attempt.
write_config "$E2E_DIR/tls.json" "{\"host\": \"127.0.0.1\", \"port\": 1, \"topic\": \"t\",
  \"ca_file\": \"$E2E_DIR/no-such-ca.pem\"}"
status=0
echo payload | "$SINK_RUN" --config "$E2E_DIR/tls.json" --connect-timeout 2 \
    2>"$E2E_DIR/run.err" || status=$?
[ "$status" -eq 3 ] || fail "refused TLS: exit status $status, expected 3"
grep -q "^tavrix-sink-run: broker unreachable: no accepted connection within 2 s (last: mqtt: error initializing libmosquitto TLS: Invalid function arguments provided. \[3\]" \
    "$E2E_DIR/run.err" || fail "refused TLS: the reason is missing"
[ "$(grep -c "^mqtt: error initializing libmosquitto TLS: " "$E2E_DIR/run.err")" -ge 2 ] ||
    fail "refused TLS: not tried again"
echo "PASS: missing, broken and unpublishable configurations stop the run with exit 1; a refused TLS set-up is retried"
