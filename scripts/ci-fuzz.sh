#!/bin/sh
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each one for a bounded time. Seeds are
# copied to a scratch corpus so that the repository stays as it is. Any
# finding fails the script; its input is kept in <build>/fuzz-findings/.
set -eu
cd "$(dirname "$0")/.."
BUILD=${VELMORA_FUZZ_BUILD_DIR:-build-fuzz}
# Ten targets at 20 s each keep CI's fuzz step near three and a half minutes of fuzzing.
SECONDS_EACH=${VELMORA_FUZZ_SECONDS:-20}

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMORA_FUZZ=ON -DVELMORA_SANITIZERS=address,undefined -DBUILD_TESTING=OFF

targets=""
for name in settings replay capture decode aim judge content converse report serve; do
    if [ -f "fuzz/${name}_fuzz.cpp" ]; then
        targets="$targets ${name}_fuzz"
    fi
done
# shellcheck disable=SC2086
cmake --build "$BUILD" --target $targets

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
status=0
for target in $targets; do
    name=${target%_fuzz}
    mkdir -p "$work/$name/corpus" "$work/$name/found"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -R "fuzz/corpus/$name/." "$work/$name/corpus/"
    fi
    echo "=== $target for ${SECONDS_EACH} s ==="
    if ! "$BUILD/fuzz/$target" -max_total_time="$SECONDS_EACH" -timeout=5 \
        -artifact_prefix="$work/$name/found/" "$work/$name/corpus"; then
        mkdir -p "$BUILD/fuzz-findings"
        cp -R "$work/$name/found/." "$BUILD/fuzz-findings/"
        echo "ci-fuzz: $target found a fault; inputs kept in $BUILD/fuzz-findings/" >&2
        status=1
    fi
done
exit $status
