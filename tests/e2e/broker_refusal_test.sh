#!/usr/bin/env bash
# What the runner says of a broker that refuses messages. Under MQTT 5 the
# broker gives its reasons, which the closing lines count apart from other
# losses, and its CONNACK limits: a message over its packet size is
# refused before it is sent, and a QoS 2 window over its in-flight limit is
# narrowed to it. Under 3.1.1 the broker drops the connection for the
# message over its packet size, which the plug-in gives up after three
# connections; what follows it arrives.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

printf 'topic write e2e/allowed/#\ntopic read #\n' >"$E2E_DIR/acl"
# A queue bound other than none: with max_queued_messages 0 mosquitto
# drops the client after each denied publish.
broker_start "acl_file $E2E_DIR/acl" "max_packet_size 2000" "max_queued_messages 100000"
seq 1 100 >"$E2E_DIR/hundred"
(seq 1 50; head -c 5000 /dev/zero | tr '\0' b; echo; seq 51 100) >"$E2E_DIR/big"
runs=0

# run_case STATUS SECONDS ARGUMENT...: the runner with these arguments
# ends with STATUS within SECONDS; its standard error goes to $OUT.
run_case() {
    local status=$1 limit=$2
    shift 2
    runs=$((runs + 1))
    OUT="$E2E_DIR/run$runs.err"
    local started=$SECONDS
    "$SINK_RUN" -h 127.0.0.1 -p "$BROKER_PORT" "$@" 2>"$OUT" 3>&- &
    local runner=$!
    track "$runner"
    expect_exit "$runner" "$limit" "$status"
    TOOK=$((SECONDS - started))
}

# distinct_numbers FILE COUNT: FILE holds the numbers 1 to COUNT, each
# once or more (QoS 1 may deliver twice), and nothing else.
distinct_numbers() {
    [ "$(sort -un "$1" | tr '\n' ' ')" = "$(seq 1 "$2" | tr '\n' ' ')" ]
}

run_case 4 20 -V 5 -t e2e/denied --input "$E2E_DIR/hundred"
grep -q "^tavrix-sink-run: read 100, queued 100, dropped 0, published 100, unacknowledged 0, re-sent 0, refused by the broker 100 (Not authorized), elapsed " \
    "$OUT" || fail "v5, denied topic: summary line wrong"
grep -q "^tavrix-sink-run: 100 publishes refused by the broker (Not authorized; last: e2e/denied: Not authorized (0x87))$" \
    "$OUT" || fail "v5, denied topic: no verdict on the refusals"
[ "$(grep -c "refused" "$OUT")" -eq 4 ] || fail "v5, denied topic: a log line per refusal"
denied=$TOOK

subscribe sub-311 "$E2E_DIR/311.out" e2e/allowed/311 -q 1
run_case 4 60 -t e2e/allowed/311 --input "$E2E_DIR/big"
grep -q "^mqtt: gave up a publish on e2e/allowed/311 (5000 bytes): " "$OUT" ||
    fail "3.1.1, packet over the limit: not given up"
wait_until 10 distinct_numbers "$E2E_DIR/311.out" 100 || fail "3.1.1: the small lines did not arrive"
given_up=$TOOK

subscribe sub-5 "$E2E_DIR/5.out" e2e/allowed/5 -q 1
run_case 4 30 -V 5 -t e2e/allowed/5 --input "$E2E_DIR/big"
grep -q "^mqtt: MQ Publish: e2e/allowed/5: 5000 bytes, over the broker's maximum packet size (2000 bytes)\.$" \
    "$OUT" || fail "v5, packet over the limit: not refused before it was sent"
! grep -q "^mqtt: MQ read: " "$OUT" || fail "v5, packet over the limit: the connection broke"
wait_until 10 distinct_numbers "$E2E_DIR/5.out" 100 || fail "v5: the small lines did not arrive"
refused=$TOOK

subscribe sub-q2 "$E2E_DIR/q2.out" e2e/allowed/q2 -q 2
seq 1 3000 >"$E2E_DIR/three-thousand"
run_case 0 30 -V 5 -q 2 -M 100 -t e2e/allowed/q2 --input "$E2E_DIR/three-thousand"
wait_until 10 lines_in "$E2E_DIR/q2.out" 3000 || fail "v5, QoS 2: not all arrived"
cmp -s "$E2E_DIR/three-thousand" "$E2E_DIR/q2.out" || fail "v5, QoS 2: lines altered or twice"

echo "PASS: denied (v5) exit 4 in ${denied} s; over the limit: 3.1.1 given up, exit 4 in" \
    "${given_up} s, v5 refused, exit 4 in ${refused} s; v5 QoS 2 window 100: 3000 of 3000"
