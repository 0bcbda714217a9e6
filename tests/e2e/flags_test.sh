#!/usr/bin/env bash
# Bad flags and missing files: exit status 2 before anything is loaded or
# connected, with one line of error, or getopt_long's own and a pointer to
# --help.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

config="$E2E_DIR/c.json"
write_config "$config" '{"host": "127.0.0.1", "port": 1}'

refused() { # argument...: exit status 2
    local status=0
    "$SINK_RUN" "$@" </dev/null >"$E2E_DIR/out" 2>"$E2E_DIR/run.err" || status=$?
    [ "$status" -eq 2 ] || fail "$*: exit status $status, expected 2"
}

expect_usage_error() { # pattern argument...: the runner's own one line
    local pattern=$1
    shift
    refused "$@"
    [ "$(wc -l <"$E2E_DIR/run.err")" -eq 1 ] || fail "$*: not one line of error"
    grep -q "^tavrix-sink-run: .*$pattern" "$E2E_DIR/run.err" ||
        fail "$*: '$(cat "$E2E_DIR/run.err")' does not say '$pattern'"
}

# The parser's every error is a unit test row; here, one that getopt_long
# words itself (differently on each C library: only the flag's name is
# held to), one of the runner's own and a missing file.
refused --config "$config" --colour
grep -q "colour" "$E2E_DIR/run.err" || fail "--colour: '$(cat "$E2E_DIR/run.err")' does not name it"
[ "$(tail -n 1 "$E2E_DIR/run.err")" = "tavrix-sink-run: try --help" ] ||
    fail "--colour: no pointer to --help"
expect_usage_error "-p/--port needs a port from 1 to 65535, not '0'" -h 127.0.0.1 -p 0
expect_usage_error "cannot open input $E2E_DIR/none: No such file" --config "$config" \
    --input "$E2E_DIR/none"

"$SINK_RUN" --help >"$E2E_DIR/out" || fail "--help failed"
grep -q "^Usage: tavrix-sink-run " "$E2E_DIR/out" || fail "--help text missing"
"$SINK_RUN" --version >"$E2E_DIR/out" || fail "--version failed"
grep -qx "tavrix-sink-run [0-9]*\.[0-9]*\.[0-9]*" "$E2E_DIR/out" || fail "--version text wrong"
echo "PASS: bad flags and missing files exit 2 and say why"
