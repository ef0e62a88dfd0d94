#!/bin/sh
# Every tracked C++ file must be laid out as clang-format 14 lays it out
# (.clang-format at the top). Prints the offending places and fails otherwise.
set -eu
cd "$(dirname "$0")/.."
CF=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$CF" >/dev/null 2>&1; then
    echo "check-format: $CF is not installed" >&2
    exit 2
fi
case "$("$CF" --version)" in
*" version 14."*) ;;
*)
    echo "check-format: needs clang-format 14, found: $("$CF" --version)" >&2
    exit 2
    ;;
esac
git ls-files -z -- '*.cpp' '*.h' | xargs -0 "$CF" --dry-run --Werror
echo "check-format: $(git ls-files -- '*.cpp' '*.h' | wc -l) files as clang-format 14 lays them out"
