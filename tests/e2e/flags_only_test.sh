#!/usr/bin/env bash
# A mosquitto_pub user's run: no configuration file, every setting a flag,
# the password from the environment, payloads from standard input. Every
# line arrives with the flags' topic, QoS, retain flag, client id and
# credentials, and the private configuration the runner wrote is gone.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

lines=2000
broker_start --user "feeder:s3cret pass" --user "reader:r"
subscribe sub-flags "$E2E_DIR/received.out" "e2e/flags/#" -q 1 -u reader -P r
export TMPDIR="$E2E_DIR/tmp"
mkdir "$TMPDIR"

seq 1 "$lines" | TAVRIX_SINK_RUN_PASSWORD="s3cret pass" "$SINK_RUN" -h 127.0.0.1 \
    -p "$BROKER_PORT" -t 'e2e/flags/${channel}' -q 1 -r -u feeder -i e2e-flags-feeder \
    --channel flows --input - 2>"$E2E_DIR/run.err" || fail "the runner exited with $?"

wait_until 30 lines_in "$E2E_DIR/received.out" "$lines" ||
    fail "$(wc -l <"$E2E_DIR/received.out") of $lines lines arrived"
seq 1 "$lines" | cmp - "$E2E_DIR/received.out" || fail "lines out of order or altered"
grep -q "read $lines, queued $lines, dropped 0, published $lines, unacknowledged 0" \
    "$E2E_DIR/run.err" || fail "summary line wrong"
! grep -q "warning" "$E2E_DIR/run.err" || fail "a complete configuration drew a warning"
grep -q "New client connected from .* as e2e-flags-feeder .*u'feeder'" "$BROKER_LOG" ||
    fail "the broker did not see the client id and user name"
[ -z "$(ls -A "$TMPDIR")" ] || fail "the private configuration was left behind: $(ls "$TMPDIR")"

# The last message was retained: a late subscriber gets it at once.
subscribe sub-late "$E2E_DIR/late.out" "e2e/flags/flows" -u reader -P r
wait_until 10 grep -qx "$lines" "$E2E_DIR/late.out" || fail "the retain flag did not apply"
echo "PASS: $lines lines with flags only, password from the environment"
