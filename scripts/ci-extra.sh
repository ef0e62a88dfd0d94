#!/bin/sh
# The format check, the sanitizer builds and the fuzz runs that CI adds to
# the plain test run.
set -eu
cd "$(dirname "$0")/.."

echo "=== layout of the C++ files (clang-format 14) ==="
sh scripts/check-format.sh

echo "=== tests under AddressSanitizer and UndefinedBehaviorSanitizer ==="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVELMORA_SANITIZERS=address,undefined
cmake --build build-asan
(cd build-asan && ctest --output-on-failure --timeout 300)

if [ -f scripts/ci-tsan.sh ]; then
    echo "=== web and decode tests under ThreadSanitizer ==="
    sh scripts/ci-tsan.sh
fi

if [ -f scripts/ci-fuzz.sh ]; then
    echo "=== fuzz targets ==="
    sh scripts/ci-fuzz.sh
fi
