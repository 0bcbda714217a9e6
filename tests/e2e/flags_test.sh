#!/usr/bin/env bash
# Bad flags and missing files: one line of error and exit status 2, before
# anything is loaded or connected.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

config="$E2E_DIR/c.json"
write_config "$config" '{"host": "127.0.0.1", "port": 1}'

expect_usage_error() { # pattern argument...
    local pattern=$1 status=0
    shift
    "$SINK_RUN" "$@" </dev/null >"$E2E_DIR/out" 2>"$E2E_DIR/run.err" || status=$?
    [ "$status" -eq 2 ] || fail "$*: exit status $status, expected 2"
    [ "$(wc -l <"$E2E_DIR/run.err")" -eq 1 ] || fail "$*: not one line of error"
    grep -q "^tavrix-sink-run: .*$pattern" "$E2E_DIR/run.err" ||
        fail "$*: '$(cat "$E2E_DIR/run.err")' does not say '$pattern'"
}

expect_usage_error "--config FILE is required"
expect_usage_error "unknown option '--colour'" --config "$config" --colour
expect_usage_error "unknown option '-x'" --config "$config" -x
expect_usage_error "--channel needs a value" --config "$config" --channel
expect_usage_error "--channel needs a non-empty value" --config "$config" --channel=
expect_usage_error "--whole takes no value" --config "$config" --whole=yes
expect_usage_error "--var needs NAME=VALUE" --config "$config" --var novalue
expect_usage_error "--connect-timeout needs a number of seconds" --config "$config" \
    --connect-timeout 0
expect_usage_error "--connect-timeout needs a number of seconds" --config "$config" \
    --connect-timeout soon
expect_usage_error "unexpected argument 'extra'" --config "$config" extra
expect_usage_error "cannot open input $E2E_DIR/none: No such file" --config "$config" \
    --input "$E2E_DIR/none"
expect_usage_error "cannot read plug-in $E2E_DIR/none.so: No such file" --config "$config" \
    --plugin "$E2E_DIR/none.so"

"$SINK_RUN" --help >"$E2E_DIR/out" || fail "--help failed"
grep -q "^Usage: tavrix-sink-run --config FILE" "$E2E_DIR/out" || fail "--help text missing"
"$SINK_RUN" --version >"$E2E_DIR/out" || fail "--version failed"
grep -qx "tavrix-sink-run [0-9]*\.[0-9]*\.[0-9]*" "$E2E_DIR/out" || fail "--version text wrong"
echo "PASS: bad flags and missing files exit 2 with one line"
