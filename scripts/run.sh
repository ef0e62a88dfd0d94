#!/bin/sh
# Installs what is missing, builds Velmora and velmora-replay, and starts the
# window in the current folder.
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
sh "$SRC/scripts/install-deps.sh"
cmake -S "$SRC" -B "$SRC/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$SRC/build" --target velmora velmora-replay
# The command is built beside the window: say how to reach it and its manual.
echo "velmora-replay: $SRC/build/cli/velmora-replay (export PATH=\"$SRC/build/cli:\$PATH\"), its manual: man $SRC/cli/velmora-replay.1"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "velmora: no display found; run it under a virtual one: xvfb-run -a $SRC/build/app/velmora"
    exit 1
fi
exec "$SRC/build/app/velmora"
