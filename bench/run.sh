#!/bin/sh
# Builds the release build of the replay benchmark and runs it. Needs root: it
# makes a network namespace with a veth pair and sends on nothing else.
# Arguments go to velmora-bench (--quick for a short smoke run).
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "bench: run it as root: sudo sh bench/run.sh" >&2
    exit 2
fi
sh "$SRC/scripts/install-deps.sh"
BUILD=${VELMORA_BENCH_BUILD_DIR:-$SRC/build-bench}
cmake -S "$SRC" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DVELMORA_FUZZ=OFF -DVELMORA_SANITIZERS= >/dev/null
cmake --build "$BUILD" --target velmora-bench
exec "$BUILD/bench/velmora-bench" "$@"
