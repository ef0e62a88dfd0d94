#!/bin/sh
# Builds the web tests and the decode tests (the capture index is read while a
# worker fills it) under ThreadSanitizer, without the widgets, and runs them. Any report fails the script. Qt is not instrumented, yet it needs no
# suppressions: its mutexes and thread starts are seen through libpthread.
set -eu
cd "$(dirname "$0")/.."
BUILD=${VELMORA_TSAN_BUILD_DIR:-build-tsan}

configure() {
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DVELMORA_SANITIZERS=thread -DVELMORA_WIDGETS="$1"
}
# The web tests need no widgets; if the tree cannot be configured without
# them, configure with them and still build the web tests only.
if ! configure OFF; then
    echo "ci-tsan: the tree does not configure with VELMORA_WIDGETS=OFF; using ON" >&2
    configure ON
fi
targets="web_tests"
if [ -f tests/decode/CMakeLists.txt ]; then
    targets="$targets decode_tests"
fi
# shellcheck disable=SC2086
cmake --build "$BUILD" --target $targets

export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66"
# Kernels set to randomise addresses more widely than this TSan can map stop
# it at start; running without randomisation avoids that where setarch can.
run=""
if setarch "$(uname -m)" -R true 2>/dev/null; then
    run="setarch $(uname -m) -R"
fi
(cd "$BUILD/tests/web" && $run ./web_tests)
if [ -x "$BUILD/tests/decode/decode_tests" ]; then
    (cd "$BUILD/tests/decode" && $run ./decode_tests)
fi
