#!/bin/sh
# Installs what is missing, builds Velmora and its tests, and runs every test.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
BUILD=${VELMORA_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$BUILD"
cd "$BUILD"
ctest --output-on-failure --timeout 300
