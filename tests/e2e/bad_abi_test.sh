#!/usr/bin/env bash
# A library that is not a plug-in for this host is refused with a line that
# names what differs, and exit status 1; its entry point is never called.
source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

write_config "$E2E_DIR/c.json" '{"host": "127.0.0.1", "port": 1}'

expect_refusal() { # plugin message
    local status=0
    echo payload | "$SINK_RUN" --config "$E2E_DIR/c.json" --plugin "$1" \
        2>"$E2E_DIR/run.err" || status=$?
    [ "$status" -eq 1 ] || fail "$1: exit status $status, expected 1"
    grep -qF "$2" "$E2E_DIR/run.err" || fail "$1: no '$2' in the error"
    [ "$(wc -l <"$E2E_DIR/run.err")" -eq 1 ] || fail "$1: more than one line of error"
}

expect_refusal "$BAD_MAGIC_PLUGIN" \
    "was built for another host interface: magic 0xdeadbeef (expected 0x41504142)"
expect_refusal "$OLD_VERSION_PLUGIN" \
    "was built for another host interface: host interface version 14 (expected 15)"
# A shared library without the record at all.
expect_refusal "$HOST_LIBRARY" "is not a tavrixd plug-in: no ag_plugin_abi"
# Not a shared library.
printf 'not a library\n' >"$E2E_DIR/fake.so"
expect_refusal "$E2E_DIR/fake.so" "cannot load the plug-in: "
echo "PASS: foreign libraries are refused"
