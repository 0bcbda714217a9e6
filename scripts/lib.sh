# Shared by the scripts: package installation and a few helpers.

# Everything the tests, the demo and the benchmark need, as Debian packages.
TEST_PACKAGES="cmake make g++ pkg-config libmosquitto-dev nlohmann-json3-dev libssl-dev zlib1g-dev mosquitto
mosquitto-clients libgtest-dev libgmock-dev openssl clang libclang-rt-14-dev
dpkg-dev file groff-base libc++-dev libc++abi-dev googletest"
DEMO_PACKAGES="cmake make g++ pkg-config libmosquitto-dev nlohmann-json3-dev libssl-dev zlib1g-dev mosquitto
mosquitto-clients openssl"
# What scripts/package needs: the build, and CPack's dependency list
# (dpkg-shlibdeps from dpkg-dev, which asks `file` what is a binary).
PACKAGE_PACKAGES="cmake make g++ pkg-config libmosquitto-dev nlohmann-json3-dev libssl-dev zlib1g-dev
dpkg-dev file"

# Installs the packages that are missing; `apt-get update` only when some are.
install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}
