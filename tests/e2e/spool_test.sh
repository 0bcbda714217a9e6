#!/usr/bin/env bash
# The spool across runs, the broker down: a run that cannot reach it
# keeps what it read (exit 5), one killed with SIGKILL loses nothing, and
# the next run with the broker back delivers all of it, oldest first.
source "$(dirname "$0")/e2e_lib.sh"

broker_start
broker_stop
SPOOL="$E2E_DIR/spool"
RUN=("$SINK_RUN" -h 127.0.0.1 -p "$BROKER_PORT" -t 'e2e/${channel}' --spool "$SPOOL")

seq -f 'a%g' 1 100 | "${RUN[@]}" --connect-timeout 1 2>"$E2E_DIR/kept.err" 3>&- && status=0 ||
    status=$?
[ "$status" -eq 5 ] || fail "exit status $status, expected 5"
grep -q "100 payloads kept in the spool $SPOOL for the next run" "$E2E_DIR/kept.err" ||
    fail "no line for what the spool kept"

seq -f 'b%g' 1 20000 >"$E2E_DIR/input"
"${RUN[@]}" --input "$E2E_DIR/input" --stats --connect-timeout 60 2>"$E2E_DIR/killed.err" 3>&- &
killed=$!
track "$killed"
wait_until 20 grep -q 'spooled 20100,' "$E2E_DIR/killed.err" || fail "the input did not reach the spool"
kill -KILL "$killed"
wait "$killed" 2>/dev/null || true

broker_restart
subscribe reader "$E2E_DIR/received" 'e2e/#' -q 1
"${RUN[@]}" </dev/null 2>"$E2E_DIR/replay.err" 3>&- &
expect_exit $! 30 0
wait_until 10 lines_in "$E2E_DIR/received" 20100 || fail "$(wc -l <"$E2E_DIR/received") of 20100 arrived"
[ "$(sort -u "$E2E_DIR/received" | wc -l)" -eq 20100 ] || fail "not 20100 distinct payloads"
[ "$(head -n 1 "$E2E_DIR/received")" = a1 ] || fail "the oldest did not come first"
grep -q 'replayed from the spool 20100' "$E2E_DIR/replay.err" || fail "no replay in the summary"
