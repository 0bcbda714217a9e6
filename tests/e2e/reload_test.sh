#!/usr/bin/env bash
# SIGHUP rereads the configuration: a new topic applies to the payloads
# queued after the reload, also when flags override other keys of the
# file (the runner rebuilds the plug-in's copy first). A configuration
# gone by then leaves the running one in place, and the runner says so.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

broker_start
config="$E2E_DIR/c.json"

# reload_case NAME [FLAG]...: a runner on a held-open FIFO whose file's
# topic changes between two lines; leaves RUNNER running, ERR its log.
reload_case() {
    local name=$1
    shift
    subscribe "sub-$name" "$E2E_DIR/$name.out" "e2e/$name/#" -v
    write_config "$config" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
      \"topic\": \"e2e/$name/before/\${channel}\"}"
    mkfifo "$E2E_DIR/$name.in"
    exec 3<>"$E2E_DIR/$name.in"
    ERR="$E2E_DIR/$name.err"
    "$SINK_RUN" --config "$config" --input "$E2E_DIR/$name.in" --debug "$@" 2>"$ERR" 3>&- &
    RUNNER=$!
    track "$RUNNER"
    wait_until 20 grep -q "^mqtt: on_connect: 0:" "$ERR" || fail "$name: no connection"

    echo first >&3
    wait_until 20 grep -qx "e2e/$name/before/default first" "$E2E_DIR/$name.out" ||
        fail "$name: the first line did not arrive"
    write_config "$config" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
      \"topic\": \"e2e/$name/after/\${channel}\"}"
    kill -HUP "$RUNNER"
    # The worker logs the reload at the start of a pass, before it takes
    # anything from the queue in that pass.
    wait_until 20 grep_count "$ERR" "^mqtt: Loading configuration: " 2 || fail "$name: no reload"
    echo second >&3
    wait_until 20 grep -qx "e2e/$name/after/default second" "$E2E_DIR/$name.out" ||
        fail "$name: the second line did not arrive on the new topic"
}

reload_case own
rm "$config"
kill -HUP "$RUNNER"
wait_until 20 grep -q "^tavrix-sink-run: not reloaded: cannot read configuration $config: No such file or directory; the plug-in keeps its configuration$" \
    "$ERR" || fail "the failed reload was not reported"
echo third >&3
wait_until 20 grep -qx "e2e/own/after/default third" "$E2E_DIR/own.out" ||
    fail "the run did not go on with its configuration"
exec 3>&-
expect_exit "$RUNNER" 20 0

reload_case merged -q 0
grep -q '"message_qos": 0' "$(sed -n 's/^mqtt: Loading configuration: //p' "$ERR" | tail -1)" ||
    fail "the rebuilt copy lost the flag's key"
rm "$config"
kill -HUP "$RUNNER"
wait_until 20 grep -q "^tavrix-sink-run: not reloaded: cannot read configuration $config: No such file or directory; the plug-in keeps its configuration$" \
    "$ERR" || fail "the failed rebuild was not reported"
echo third >&3
wait_until 20 grep -qx "e2e/merged/after/default third" "$E2E_DIR/merged.out" ||
    fail "the run did not go on with its configuration"
exec 3>&-
expect_exit "$RUNNER" 20 0
echo "PASS: reloads changed the topic, own file and merged copy; a vanished file changed nothing"
