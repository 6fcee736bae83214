#!/bin/sh
# The main job: build everything and capture a frame from the built-in simulated camera.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/scripts/setup.sh"
sh "$top/scripts/build.sh" build
if [ -x "$top/build/tools/zeva" ]; then
  exec "$top/build/tools/zeva" capture "$@"
else
  exec "$top/build/tools/zeva-hello" "$@"
fi
