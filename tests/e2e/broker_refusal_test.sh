#!/usr/bin/env bash
# What the runner says of a broker that refuses messages. MQTT 5: the
# broker's reasons, counted apart from other losses; a message over its
# packet size refused before it is sent; a QoS 2 window narrowed to its
# in-flight limit. MQTT 3.1.1: the message the broker drops the connection
# for, given up after three connections, and what follows it arrives.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

printf 'topic write e2e/allowed/#\ntopic read #\n' >"$E2E_DIR/acl"
# With max_queued_messages 0 mosquitto drops a client after each denied
# publish.
broker_start "acl_file $E2E_DIR/acl" "max_packet_size 2000" "max_queued_messages 100000"
(seq 1 50; head -c 5000 /dev/zero | tr '\0' b; echo; seq 51 100) >"$E2E_DIR/big"
seq 1 100 >"$E2E_DIR/hundred"
seq 1 3000 >"$E2E_DIR/three-thousand"
TOOK=""

# run_case NAME STATUS SECONDS ARGUMENT...: the runner ends with STATUS
# within SECONDS; its standard error goes to $E2E_DIR/NAME.err.
run_case() {
    local name=$1 status=$2 limit=$3 started=$SECONDS
    shift 3
    "$SINK_RUN" -h 127.0.0.1 -p "$BROKER_PORT" "$@" 2>"$E2E_DIR/$name.err" 3>&- &
    track $!
    expect_exit $! "$limit" "$status"
    TOOK="$TOOK $name $((SECONDS - started)) s;"
}

# small_lines_in FILE: the 100 small lines arrived (QoS 1: some maybe twice).
small_lines_in() {
    [ "$(sort -un "$1" | grep -c '^[0-9]*$')" -eq 100 ] && ! grep -q b "$1"
}

run_case denied 4 20 -V 5 -t e2e/denied --input "$E2E_DIR/hundred"
grep -q "^tavrix-sink-run: read 100, queued 100, dropped 0, published 100, unacknowledged 0, re-sent 0, refused by the broker 100 (Not authorized), elapsed " \
    "$E2E_DIR/denied.err" || fail "v5, denied topic: summary line wrong"
grep -q "^tavrix-sink-run: 100 publishes refused by the broker (Not authorized; last: e2e/denied: Not authorized (0x87))$" \
    "$E2E_DIR/denied.err" || fail "v5, denied topic: no verdict on the refusals"
[ "$(grep -c "^mqtt: .*refused" "$E2E_DIR/denied.err")" -eq 2 ] || fail "a log line per refusal"

for version in 311 5; do
    subscribe "sub-$version" "$E2E_DIR/$version.out" "e2e/allowed/$version" -q 1
    run_case "big$version" 4 $((version == 5 ? 30 : 60)) -V "$version" \
        -t "e2e/allowed/$version" --input "$E2E_DIR/big"
    wait_until 10 small_lines_in "$E2E_DIR/$version.out" ||
        fail "$version: the small lines did not arrive"
done
grep -q "^mqtt: gave up a publish on e2e/allowed/311 (5000 bytes): " "$E2E_DIR/big311.err" ||
    fail "3.1.1, packet over the limit: not given up"
grep -q "^mqtt: MQ Publish: e2e/allowed/5: 5000 bytes, over the broker's maximum packet size (2000 bytes)\.$" \
    "$E2E_DIR/big5.err" || fail "v5, packet over the limit: not refused before it was sent"
! grep -q "^mqtt: MQ read: " "$E2E_DIR/big5.err" ||
    fail "v5, packet over the limit: the connection broke"

subscribe sub-q2 "$E2E_DIR/q2.out" e2e/allowed/q2 -q 2
run_case q2 0 30 -V 5 -q 2 -M 100 -t e2e/allowed/q2 --input "$E2E_DIR/three-thousand"
wait_until 10 lines_in "$E2E_DIR/q2.out" 3000 &&
    cmp -s "$E2E_DIR/three-thousand" "$E2E_DIR/q2.out" ||
    fail "v5, QoS 2, window 100: not every line arrived once"
echo "PASS:$TOOK v5 QoS 2 window 100: 3000 of 3000"
