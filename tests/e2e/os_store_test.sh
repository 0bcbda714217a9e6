#!/usr/bin/env bash
# --tls-use-os-certs trusts the system's CA store, here OpenSSL's default
# store pointed at the test CA through SSL_CERT_FILE (and at a directory
# without certificates through SSL_CERT_DIR): no --cafile, and every line
# arrives, before and after a broker restart. libmosquitto 2.0.11 failed a
# reconnect with the store as its only CA source (mosquitto#2288); the
# plug-in's client starts anew at every attempt, and this holds it to that.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start --tls
ca="$BROKER_DIR/ca.crt"
subscribe store-before "$E2E_DIR/before" e2e/store -q 1 --cafile "$ca"

mkfifo "$E2E_DIR/input"
exec 3<>"$E2E_DIR/input"
SSL_CERT_FILE="$ca" SSL_CERT_DIR="$E2E_DIR" "$SINK_RUN" -h 127.0.0.1 -p "$BROKER_PORT" \
    --tls-use-os-certs -t e2e/store -i store-run --input "$E2E_DIR/input" \
    2>"$E2E_DIR/run.err" 3>&- &
runner=$!
track "$runner"
seq 1 100 >&3
wait_until 20 lines_in "$E2E_DIR/before" 100 || fail "$(wc -l <"$E2E_DIR/before") of 100 lines"

broker_stop
kill "$SUBSCRIBER_PID"
broker_restart
subscribe store-after "$E2E_DIR/after" e2e/store -q 1 --cafile "$ca"
# The broker's account of the plug-in connecting again.
wait_until 20 grep_count "$BROKER_LOG" " as store-run (" 2 || fail "the plug-in did not reconnect"
seq 101 200 >&3
exec 3>&-

expect_exit "$runner" 30 0
wait_until 10 lines_in "$E2E_DIR/after" 100 || fail "$(wc -l <"$E2E_DIR/after") of 100 lines after"
[ "$(cat "$E2E_DIR/before" "$E2E_DIR/after" | sort -n | uniq | wc -l)" -eq 200 ] ||
    fail "lines missing"
grep -q "^tavrix-sink-run: read 200, queued 200, dropped 0, published 200, unacknowledged 0," \
    "$E2E_DIR/run.err" || fail "summary line wrong"
echo "PASS: 100 of 100 lines through the system's CA store, and 100 of 100 after a restart"
