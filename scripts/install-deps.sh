#!/bin/sh
# Installs the Debian packages that building, running and testing Velmora need.
# Idempotent: installs only what is missing, and refreshes the package lists
# once, only when something is missing.
set -eu

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

if [ -z "$missing" ]; then
    echo "install-deps: everything is installed"
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
