#!/bin/sh
# Installs what is missing, builds Velmora and starts it in the current folder.
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
sh "$SRC/scripts/install-deps.sh"
cmake -S "$SRC" -B "$SRC/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$SRC/build" --target velmora
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "velmora: no display found; run it under a virtual one: xvfb-run -a $SRC/build/app/velmora"
    exit 1
fi
exec "$SRC/build/app/velmora"
