#!/usr/bin/env bash
# The runner's liveness flags: "online" retained on the will topic while
# it runs, "offline" once it has stopped cleanly, and "offline" from the
# broker itself, the will, once it has been killed with SIGKILL.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
mkfifo "$E2E_DIR/input"

# retained_is PAYLOAD: a subscriber that comes now gets PAYLOAD, retained.
retained_is() {
    [ "$("$MOSQUITTO_SUB" -h 127.0.0.1 -p "$BROKER_PORT" -t e2e/gw/status -C 1 -W 2 \
        --retained-only 2>/dev/null 3>&-)" = "$1" ]
}

# A runner on the FIFO, with the will; returns once "online" is retained.
start_runner() {
    exec 3<>"$E2E_DIR/input"
    TMPDIR="$E2E_DIR" "$SINK_RUN" -h "127.0.0.1:$BROKER_PORT" -t e2e/data \
        --will-topic e2e/gw/status --input "$E2E_DIR/input" 2>"$E2E_DIR/run.err" 3>&- &
    runner=$!
    track "$runner"
    wait_until 20 retained_is online || fail "no retained online while the runner runs"
}

start_runner
echo one >&3
exec 3>&-
expect_exit "$runner" 20 0
retained_is offline || fail "no retained offline after a clean stop"

start_runner
kill -KILL "$runner"
wait_until 20 retained_is offline || fail "no retained offline after SIGKILL"
echo "PASS: online while running, offline after a clean stop and after SIGKILL"
