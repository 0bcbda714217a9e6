#!/usr/bin/env bash
# A port that drops the plug-in's SYNs leaves its connection attempt
# unanswered: --connect-timeout still ends the run within its bound, and
# SIGTERM ends it at once, the worker's wait being no blocking connect.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# A broker behind a path that drops the SYNs.
broker_start
proxy_start "$BROKER_PORT"
proxy_command silent on
write_config "$E2E_DIR/silent.json" "{\"host\": \"127.0.0.1\", \"port\": $PROXY_PORT, \"topic\": \"t\"}"

status=0 started=$SECONDS
seq 1 10 | "$SINK_RUN" --config "$E2E_DIR/silent.json" --connect-timeout 2 \
    2>"$E2E_DIR/run.err" || status=$?
[ "$status" -eq 3 ] || fail "exit status $status, expected 3"
[ $((SECONDS - started)) -le 7 ] || fail "the runner overran its bound: $((SECONDS - started)) s"
grep -q "^tavrix-sink-run: broker unreachable: no accepted connection within 2 s" \
    "$E2E_DIR/run.err" || fail "no unreachable message"

# The stop request, too, ends a run whose attempt hangs.
mkfifo "$E2E_DIR/input"
exec 3<>"$E2E_DIR/input"
"$SINK_RUN" --config "$E2E_DIR/silent.json" --connect-timeout 600 --input "$E2E_DIR/input" \
    2>"$E2E_DIR/stopped.err" 3>&- &
runner=$!
track "$runner"
wait_until 10 grep -q "^tavrix-sink-run: agent UUID" "$E2E_DIR/stopped.err" ||
    fail "the runner did not start"
started=$SECONDS
kill -TERM "$runner"
wait_until 10 gone "$runner" || fail "SIGTERM did not end the run"
status=0
wait "$runner" || status=$?
exec 3>&-
[ "$status" -eq 143 ] || fail "exit status $status after SIGTERM, expected 143"
[ $((SECONDS - started)) -le 1 ] || fail "SIGTERM took $((SECONDS - started)) s"
echo "PASS: a port that drops SYNs ends the run within the bound"
