#!/bin/sh
# Builds the release build of the replay benchmark and runs it. Needs root: it
# makes a network namespace with a veth pair and sends on nothing else.
# Arguments go to velmora-bench (--quick for a short smoke run). With --pace
# first, the timing benchmark runs instead (velmora-replay against tcpreplay,
# gap errors, drift, CPU); the other arguments go to it (--quick, --long, --rt).
# With --listen first, the listening benchmark runs (the batched rate with
# listening off and on, and 10,000 requests answered back to back; --quick).
# With --report first, the report benchmark runs (size and headless chromium's
# open time of a report of 100,000 requests; --quick for 10,000).
# With --converse first, the conversation benchmark runs (requests a second at
# window 1 and 8 against a responder that answers at once; --quick).
# With --serve first, the serving benchmark runs (requests served a second to
# one client asking one at a time; --quick; --memory: learning a 1 GB capture,
# its time and peak memory).
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
if [ "${1:-}" = "--pace" ]; then
    shift
    cmake --build "$BUILD" --target velmora-pace-bench velmora-replay
    exec "$BUILD/bench/velmora-pace-bench" --velmora-replay "$BUILD/cli/velmora-replay" "$@"
fi
if [ "${1:-}" = "--listen" ]; then
    shift
    cmake --build "$BUILD" --target velmora-listen-bench
    exec "$BUILD/bench/velmora-listen-bench" "$@"
fi
if [ "${1:-}" = "--report" ]; then
    shift
    cmake --build "$BUILD" --target velmora-report-bench
    exec "$BUILD/bench/velmora-report-bench" "$@"
fi
if [ "${1:-}" = "--converse" ]; then
    shift
    cmake --build "$BUILD" --target velmora-converse-bench
    exec "$BUILD/bench/velmora-converse-bench" "$@"
fi
if [ "${1:-}" = "--serve" ]; then
    shift
    cmake --build "$BUILD" --target velmora-serve-bench
    exec "$BUILD/bench/velmora-serve-bench" "$@"
fi
cmake --build "$BUILD" --target velmora-bench
exec "$BUILD/bench/velmora-bench" "$@"
