#!/usr/bin/env bash
# The packages and the install of a packaging build, as a packager and an
# agent's machine see them:
# - what each package holds and depends on: the plug-in in its plug-in
#   directory without a development link, the runner's stand-in only in
#   its private directory, nothing in an include directory, the manual
#   page, stripped binaries;
# - both packages installed side by side into a scratch root beside an
#   agent's own libtavrixd.so.15 (dpkg with the scratch root's own
#   database: the machine's is not touched), which neither installing nor
#   removing them changes;
# - the runner installed there delivering to a private broker with the
#   installed plug-in and its own stand-in;
# - `cmake --install` into a scratch DESTDIR installs what the packages
#   hold, and its manifest uninstalls it.
#
#   tests/package/package_test.sh BUILD_DIR
#
# BUILD_DIR is the one scripts/package made the packages in.
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/e2e_lib.sh"

build=$(cd "$1" && pwd)
TEST_BROKER="$build/tests/support/tavrix-test-broker"
MOSQUITTO_SUB=$(command -v mosquitto_sub)
passed=0

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}
prefix=$(cache_value CMAKE_INSTALL_PREFIX)
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
plugin_dir=$prefix/$(cache_value TAVRIX_PLUGIN_DIR)
private_dir=$prefix/$libdir/tavrix-sink-run
plugin_deb=$(echo "$build"/tavrix-sink-mqtt_*.deb)
runner_deb=$(echo "$build"/tavrix-sink-run_*.deb)
[ -f "$plugin_deb" ] && [ -f "$runner_deb" ] || fail "no packages in $build"

# check DESCRIPTION COMMAND...: COMMAND must succeed.
check() {
    local what=$1
    shift
    "$@" || fail "$what"
    passed=$((passed + 1))
    echo "ok: $what"
}

# What each package holds, listed once: the paths without the leading ".".
# Every test below reads a file or a variable, never a pipe into grep -q,
# whose early exit would fail the pipe.
contents() { # DEB: the file listing its paths
    echo "$E2E_DIR/$(basename "$1").contents"
}
for deb in "$plugin_deb" "$runner_deb"; do
    dpkg-deb --contents "$deb" | awk '{ print substr($6, 2) }' >"$(contents "$deb")"
done
holds() { # DEB PATH...
    local list path
    list=$(contents "$1")
    shift
    for path in "$@"; do
        grep -qxF -- "$path" "$list" || return 1
    done
}
holds_none() { # DEB EXTENDED-REGEX
    ! grep -qE -- "$2" "$(contents "$1")"
}
depends_on() { # DEB EXTENDED-REGEX: a dependency of DEB matches
    local dependencies
    dependencies=$(dpkg-deb --field "$1" Depends | tr ',' '\n' | sed 's/^ *//')
    grep -qE -- "^$2" <<<"$dependencies"
}

plugin_depends_on_libmosquitto_and_zlib_only() {
    depends_on "$plugin_deb" 'libmosquitto1( |$)' && depends_on "$plugin_deb" 'zlib1g( |$)' &&
        ! depends_on "$plugin_deb" 'tavrix'
}
# Every libtavrixd file lies in the runner's private directory.
stand_in_private() {
    local elsewhere
    elsewhere=$(grep -E '/libtavrixd[^/]*$' "$(contents "$runner_deb")" |
        grep -vE "^$private_dir/libtavrixd[^/]*$" || true)
    holds "$runner_deb" "$private_dir/libtavrixd.so.15" && [ -z "$elsewhere" ]
}

check "the plug-in package holds the plug-in and the sample configuration" \
    holds "$plugin_deb" "$plugin_dir/libtavrix-sink-mqtt.so.0" \
    "$prefix/share/doc/tavrix-sink-mqtt/mqtt.json.sample"
check "the plug-in package holds no development link, stand-in or header" \
    holds_none "$plugin_deb" '/libtavrix-sink-mqtt\.so$|libtavrixd|/include/'
check "the plug-in package depends on libmosquitto and zlib, not on the agent's library" \
    plugin_depends_on_libmosquitto_and_zlib_only
check "the runner package holds the runner and its manual page" \
    holds "$runner_deb" "$prefix/bin/tavrix-sink-run" "$prefix/share/man/man1/tavrix-sink-run.1.gz"
check "the runner package holds the stand-in, in its private directory only" stand_in_private
check "the runner package holds no header" holds_none "$runner_deb" '/include/'
check "the runner package depends on the plug-in package of its version" \
    depends_on "$runner_deb" "tavrix-sink-mqtt \\(= $(dpkg-deb --field "$plugin_deb" Version)\\)"

# A scratch root with its own dpkg database, and the agent's library where
# an agent would have it.
scratch=$E2E_DIR/root
mkdir -p "$scratch/var/lib/dpkg/info" "$scratch/var/lib/dpkg/updates" \
    "$scratch/$prefix/lib" "$scratch/$prefix/$libdir"
touch "$scratch/var/lib/dpkg/status"
agent_libraries=("$scratch/$prefix/lib/libtavrixd.so.15" "$scratch/$prefix/$libdir/libtavrixd.so.15")
for library in "${agent_libraries[@]}"; do
    echo "the agent's own host library" >"$library"
done
md5sum "${agent_libraries[@]}" >"$E2E_DIR/agent.md5"
scratch_dpkg() {
    # The dependencies are the machine's, which the scratch database lacks.
    dpkg --root="$scratch" --log=/dev/null --force-depends --force-not-root "$@" \
        >>"$E2E_DIR/dpkg.err" 2>&1
}
agent_library_unchanged() {
    md5sum --quiet -c "$E2E_DIR/agent.md5"
}
install_beside_agent() {
    scratch_dpkg -i "$plugin_deb" "$runner_deb" && agent_library_unchanged
}
remove_beside_agent() {
    scratch_dpkg -r tavrix-sink-run tavrix-sink-mqtt && agent_library_unchanged
}
check "both packages install beside the agent's library, which stays as it was" \
    install_beside_agent

elf_files() {
    find "$scratch/$prefix" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print
}
all_stripped() {
    local file
    for file in $(elf_files); do
        [[ $(file -b "$file") == *", stripped"* ]] || return 1
    done
    [ -n "$(elf_files)" ]
}
check "every installed binary is stripped" all_stripped
runpath_of() {
    readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p'
}
check "the runner's run path names its private directory" \
    [ "$(runpath_of "$scratch/$prefix/bin/tavrix-sink-run")" = "\$ORIGIN/../$libdir/tavrix-sink-run" ]
check "the plug-in has no run path: it binds to the agent's library" \
    [ -z "$(runpath_of "$(readlink -f "$scratch/$plugin_dir/libtavrix-sink-mqtt.so.0")")" ]
manual_warnings() {
    zcat "$scratch/$prefix/share/man/man1/tavrix-sink-run.1.gz" | groff -man -ww -z 2>&1
}
check "the manual page formats without a warning" [ -z "$(manual_warnings)" ]

# The installed runner, finding the installed plug-in by itself; the loader
# says which files it initialised.
lines=1000
broker_start
subscribe sub-package "$E2E_DIR/received.out" "package/#" -q 1 -v
write_config "$E2E_DIR/c.json" "{\"host\": \"127.0.0.1\", \"port\": $BROKER_PORT,
  \"topic\": \"package/\${channel}\", \"message_qos\": 1}"
run_status=0
seq 1 "$lines" | LD_DEBUG=libs LD_DEBUG_OUTPUT="$E2E_DIR/loader" \
    "$scratch/$prefix/bin/tavrix-sink-run" --config "$E2E_DIR/c.json" \
    --channel flows --channel archive 2>"$E2E_DIR/run.err" || run_status=$?
check "the installed runner delivers and exits 0" [ "$run_status" -eq 0 ]
check "every payload arrives on both channels" \
    wait_until 30 lines_in "$E2E_DIR/received.out" $((2 * lines))
initialised() { # LIBRARY: the loader initialised that file from the scratch root
    grep -qhE "calling init: $scratch/.*/$1\$" "$E2E_DIR"/loader.*
}
loaded_installed_files() {
    initialised libtavrix-sink-mqtt.so.0 && initialised tavrix-sink-run/libtavrixd.so.15
}
check "the runner loaded the installed plug-in and its private stand-in" loaded_installed_files

check "removing both packages leaves the agent's library as it was" remove_beside_agent

# cmake --install, as the README tells it, into a scratch DESTDIR.
destdir=$E2E_DIR/destdir
DESTDIR=$destdir cmake --install "$build" --strip >"$E2E_DIR/install.err" 2>&1 ||
    fail "cmake --install failed"
installed_files() {
    (cd "$destdir" && find . ! -type d | cut -c 2- | sort)
}
package_files() {
    cat "$(contents "$plugin_deb")" "$(contents "$runner_deb")" | grep -v '/$' | sort
}
# The manifest names the paths as installed without DESTDIR: each is
# removed below the scratch DESTDIR only, never from the machine.
uninstall_by_manifest() {
    sed "s|^|$destdir|" "$build/install_manifest.txt" | xargs -d '\n' rm -- &&
        [ -z "$(installed_files)" ]
}
check "cmake --install installs what the packages hold" \
    diff <(installed_files) <(package_files)
check "the install manifest uninstalls everything" uninstall_by_manifest

echo "package: $passed checks passed"
