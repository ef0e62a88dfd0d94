#!/bin/sh
# Installs the Debian packages that building, running and testing Velmora need.
# Idempotent: installs only what is missing, and refreshes the package lists
# once, only when something is missing. Then the npm test devices.
set -eu
cd "$(dirname "$0")/.."

PACKAGES="
build-essential cmake ninja-build pkg-config git
qt6-base-dev libgl-dev
libpcap-dev libcurl4-openssl-dev
libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
clang libclang-rt-14-dev
tcpdump tcpreplay iproute2 procps tshark
xvfb xauth imagemagick fonts-dejavu-core chromium
desktop-file-utils appstream man-db lintian fakeroot dpkg-dev file libcap2-bin
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

# The test devices and clients of an independent BACnet stack: npm packages,
# for the tests only, kept in tests/bacnet/node_modules (never in the product).
test_devices() {
    if [ ! -d tests/bacnet/node_modules/@bacnet-js/client ]; then
        echo "install-deps: installing the npm test devices"
        (cd tests/bacnet && npm ci --no-audit --no-fund --loglevel=error)
    fi
}

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    missing="$missing nodejs npm"
fi

if [ -z "$missing" ]; then
    echo "install-deps: everything is installed"
    test_devices
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

echo "install-deps: installing$missing"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
test_devices
